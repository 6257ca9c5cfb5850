// The host-side low-pass filter of the tools (--lowpass HZ, --lowpass-order
// N): a Butterworth low-pass of order 1 ... 8 applied per axis to a sensor's
// values, newtons with a calibration, counts without.
//
// liquid-dsp designs it (liquid_iirdes: Butterworth, bilinear transform with
// the cut-off pre-warped, as second-order sections); the sections run here in
// double precision (liquid's own iirfilt runs in float: bench_filter compares
// the two against the analytic response). Its coefficients are designed for
// the device's configured rate; a cut-off at or above half the rate switches
// it off. After reset() (a gap, a reopen, a rate change) the next sample
// starts it afresh, as if that value had been there for ever: the filter
// never smears across a lost stretch, and it starts without a transient
// from zero.
#pragma once

#include <string>
#include <vector>

namespace brovatools {

class LowPass {
public:
    static constexpr int kMaxOrder = 8;
    static constexpr int kDefaultOrder = 2;

    // What is wrong with a cut-off and order a user asked for (empty when
    // nothing): not a finite number above 0, an order outside 1 ... 8, or a
    // cut-off at or above half of maxRate (when maxRate > 0).
    static std::string check(double cutoff, int order, double maxRate = 0);

    // Designs the filter for axes values per sample at rate samples per
    // second; false (and off) when the cut-off is not below rate / 2 or the
    // design fails. The state is reset.
    bool design(double cutoff, int order, double rate, int axes);
    void off() { sections.clear(); }
    bool on() const { return !sections.empty(); }
    double cutoff() const { return fc; }
    int order() const { return n; }
    double rate() const { return fs; }

    // Forgets the state: the next sample starts the filter afresh.
    void reset() { primed = false; }
    // Filters one sample of axes values in place (nothing when off).
    void apply(double* values);

    // The designed filter's magnitude |H| and group delay (seconds) at a
    // frequency (Hz), from its coefficients.
    double magnitude(double hz) const;
    double groupDelay(double hz) const;

private:
    struct Section {
        double b0, b1, b2, a1, a2;
    };
    std::vector<Section> sections;
    std::vector<double> state;  // per axis, per section: s1, s2
    int axes = 0;
    int n = 0;
    double fc = 0, fs = 0;
    bool primed = false;
};

// The cut-off's group delay as the tools print it: "group delay 11.3 ms at
// 20 Hz (11.1 ms below)".
std::string lowPassDelayText(const LowPass& f);

} // namespace brovatools
