// What the status flags and the tools' low-pass filter cost per six-axis
// sample, and how close the filter's response is to Butterworth's.
//
// Cost (ns per six-axis sample, median of 7 runs of 200000 samples):
//  - the rail check of a six-axis stream frame (the parser's, white-box),
//  - the over-range check: BrovaCalibration::applyWrench with flags against
//    without, 16 inputs and a tool,
//  - a 4th-order low-pass on the six values: the tools' filter (liquid-dsp's
//    design, second-order sections run in double) and liquid-dsp's own
//    iirfilt_rrrf (single precision).
// Response: sines through each filter (orders 1 ... 8, 20 Hz at 1000 per
// second), their settled amplitude (the component at their frequency) in dB against the analytic magnitude of
// the bilinear Butterworth design at the cut-off and a decade above (and the
// analog prototype's, for comparison); the same for a reference designed
// here in double precision from the analog poles. And the difference between
// single and double precision on a force signal of a sensor's resolution
// (0.01 N per count, +-300 N), in counts.
//
//   bench_filter
#include <liquid/liquid.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <random>
#include <vector>

#include "brovacalibration.h"
#include "brovaflags.h"
#include "engine_access.h"
#include "lowpass.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSamples = 200000;
constexpr double kRate = 1000, kCut = 20;

template <typename F>
double nsPerSample(F&& body)
{
    std::vector<double> runs;
    for (int r = 0; r < 7; ++r) {
        const auto t0 = Clock::now();
        body();
        runs.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / kSamples);
    }
    std::sort(runs.begin(), runs.end());
    return runs[3];
}

double digital(double f, int n) { return 1 / std::sqrt(1 + std::pow(std::tan(M_PI * f / kRate) / std::tan(M_PI * kCut / kRate), 2 * n)); }
double analog(double f, int n) { return 1 / std::sqrt(1 + std::pow(f / kCut, 2 * n)); }
double dB(double v) { return 20 * std::log10(v); }

// A reference designed here: the analog Butterworth poles, pre-warped,
// through the bilinear transform, as biquads in double precision.
struct Reference {
    struct Section {
        double b0, b1, b2, a1, a2, s1 = 0, s2 = 0;
    };
    std::vector<Section> sections;
    explicit Reference(int n)
    {
        const double k = 2 * kRate, wc = k * std::tan(M_PI * kCut / kRate);
        for (int i = 0; i < n / 2; ++i) {
            const std::complex<double> s = wc * std::polar(1.0, M_PI * (2.0 * i + n + 1) / (2.0 * n));
            const std::complex<double> z = (k + s) / (k - s);
            const double a1 = -2 * z.real(), a2 = std::norm(z), g = (1 + a1 + a2) / 4;
            sections.push_back({g, 2 * g, g, a1, a2});
        }
        if (n % 2) {
            const double p = (k - wc) / (k + wc);  // the real pole -wc
            const double g = (1 - p) / 2;
            sections.push_back({g, g, 0, -p, 0});
        }
    }
    double apply(double x)
    {
        for (Section& s : sections) {
            const double y = s.b0 * x + s.s1;
            s.s1 = s.b1 * x - s.a1 * y + s.s2;
            s.s2 = s.b2 * x - s.a2 * y;
            x = y;
        }
        return x;
    }
};

// The settled amplitude of a unit sine at f through one filter step: its
// component at f over whole periods (a sampled peak would miss the crest of
// a sine sampled a few times a period).
template <typename Step>
double amplitude(double f, Step&& step)
{
    const int settle = static_cast<int>(40 * kRate / std::min(f, kCut)), measure = 10000;  // whole periods of f
    std::complex<double> sum = 0;
    for (int i = 0; i < settle + measure; ++i) {
        const double phase = 2 * M_PI * f * i / kRate;
        const double y = step(std::sin(phase));
        if (i >= settle)
            sum += y * std::polar(1.0, -phase);
    }
    return 2 * std::abs(sum) / measure;
}

} // namespace

int main()
{
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> word(-32768, 32767), reading(0, 65535);

    // --- cost --------------------------------------------------------------
    std::vector<BrovaPackage6D> samples(1024);
    for (BrovaPackage6D& s : samples) {
        s.Fx = word(rng), s.Fy = word(rng), s.Fz = word(rng), s.Tx = word(rng), s.Ty = word(rng), s.Tz = word(rng);
        for (BrovaPackage* u : {&s.sensor1, &s.sensor2, &s.sensor3, &s.sensor4})
            u->s1 = reading(rng), u->s2 = reading(rng), u->s3 = reading(rng), u->s4 = reading(rng),
            u->x = word(rng), u->y = word(rng), u->z = reading(rng);
    }
    BrovaDAQ_private engine;
    uint32_t sink = 0;
    const double rails = nsPerSample([&] {
        for (int i = 0; i < kSamples; ++i)
            sink += BrovaEngineAccess::sixAxisRails(engine, samples[static_cast<size_t>(i) & 1023]);
    });

    BrovaCalibration cal;
    std::vector<std::string> inputs;
    for (const char* u : {"sensor1", "sensor2", "sensor3", "sensor4"})
        for (const char* f : {"x", "y", "z", "s1"})
            inputs.push_back(std::string(u) + "." + f);
    std::vector<double> matrix(6 * 16), bias(6, 0.5);
    for (size_t i = 0; i < matrix.size(); ++i)
        matrix[i] = 0.001 * static_cast<double>(static_cast<int>(i * 7919 % 201) - 100) + (i % 17 == 0 ? 0.05 : 0);
    const double translation[3] = {0.01, 0.02, 0.1}, rotation[9] = {0, -1, 0, 1, 0, 0, 0, 0, 1};
    if (!cal.setSixAxis(inputs, matrix, bias) || !cal.setTool(translation, rotation) ||
        !cal.setRange(-1, {200, 200, 400, 10, 10, 10})) {
        std::fprintf(stderr, "bench_filter: %s\n", cal.error().c_str());
        return 1;
    }
    double w[6], acc = 0;
    const double plain = nsPerSample([&] {
        for (int i = 0; i < kSamples; ++i) {
            cal.applyWrench(samples[static_cast<size_t>(i) & 1023], true, w);
            acc += w[0];
        }
    });
    const double flagged = nsPerSample([&] {
        for (int i = 0; i < kSamples; ++i) {
            uint32_t f = 0;
            cal.applyWrench(samples[static_cast<size_t>(i) & 1023], true, w, f);
            acc += w[0];
            sink += f;
        }
    });

    brovatools::LowPass lp;
    lp.design(kCut, 4, kRate, 6);
    const double filter = nsPerSample([&] {
        for (int i = 0; i < kSamples; ++i) {
            const BrovaPackage6D& s = samples[static_cast<size_t>(i) & 1023];
            double v[6] = {double(s.Fx), double(s.Fy), double(s.Fz), double(s.Tx), double(s.Ty), double(s.Tz)};
            lp.apply(v);
            acc += v[5];
        }
    });
    iirfilt_rrrf single[6];
    for (auto& q : single)
        q = iirfilt_rrrf_create_prototype(LIQUID_IIRDES_BUTTER, LIQUID_IIRDES_LOWPASS, LIQUID_IIRDES_SOS, 4,
                                          static_cast<float>(kCut / kRate), 0, 1, 60);
    const double liquidCost = nsPerSample([&] {
        for (int i = 0; i < kSamples; ++i) {
            const BrovaPackage6D& s = samples[static_cast<size_t>(i) & 1023];
            const int32_t v[6] = {s.Fx, s.Fy, s.Fz, s.Tx, s.Ty, s.Tz};
            float y = 0;
            for (int k = 0; k < 6; ++k)
                iirfilt_rrrf_execute(single[k], static_cast<float>(v[k]), &y);
            acc += y;
        }
    });
    std::printf("per six-axis sample (ns, median of 7 x %d):\n", kSamples);
    std::printf("  rail flags (parser)                   %6.1f\n", rails);
    std::printf("  applyWrench                           %6.1f\n", plain);
    std::printf("  applyWrench with over-range flags     %6.1f  (+%.1f)\n", flagged, flagged - plain);
    std::printf("  low-pass order 4, 6 axes, double      %6.1f\n", filter);
    std::printf("  liquid iirfilt_rrrf order 4, 6 axes   %6.1f\n", liquidCost);
    std::printf("  flags + filter (rails + over-range + filter)  %6.1f\n", rails + (flagged - plain) + filter);

    // --- response ----------------------------------------------------------
    std::printf("\nresponse at %g per second, cut-off %g Hz: dB (error against the bilinear Butterworth)\n", kRate, kCut);
    std::printf("order   at   analytic  analog  | tools' filter   | liquid float    | own reference\n");
    double worst = 0, worstLiquid = 0, worstRef = 0;
    for (int n = 1; n <= 8; ++n) {
        for (double f : {kCut, 10 * kCut}) {
            brovatools::LowPass tools;
            tools.design(kCut, n, kRate, 1);
            iirfilt_rrrf q = iirfilt_rrrf_create_prototype(LIQUID_IIRDES_BUTTER, LIQUID_IIRDES_LOWPASS,
                                                           LIQUID_IIRDES_SOS, static_cast<unsigned>(n),
                                                           static_cast<float>(kCut / kRate), 0, 1, 60);
            Reference ref(n);
            const double a = dB(digital(f, n));
            const double t = dB(amplitude(f, [&](double x) { tools.apply(&x); return x; }));
            const double l = dB(amplitude(f, [&](double x) {
                float y = 0;
                iirfilt_rrrf_execute(q, static_cast<float>(x), &y);
                return static_cast<double>(y);
            }));
            const double r = dB(amplitude(f, [&](double x) { return ref.apply(x); }));
            iirfilt_rrrf_destroy(q);
            worst = std::max(worst, std::fabs(t - a));
            worstLiquid = std::max(worstLiquid, std::fabs(l - a));
            worstRef = std::max(worstRef, std::fabs(r - a));
            std::printf("%5d %5g %9.3f %7.3f  | %7.3f (%+.3f) | %7.3f (%+.3f) | %7.3f (%+.3f)\n", n, f, a,
                        dB(analog(f, n)), t, t - a, l, l - a, r, r - a);
        }
    }
    std::printf("largest error: tools' filter %.4f dB, liquid float %.4f dB, own reference %.4f dB\n", worst,
                worstLiquid, worstRef);

    // --- precision -----------------------------------------------------------
    // A force of a sensor's resolution: 0.01 N per count, a random walk
    // within +-300 N, through order 4 at 2 Hz and 20 Hz.
    for (double fc : {2.0, 20.0}) {
        brovatools::LowPass d;
        d.design(fc, 4, kRate, 1);
        iirfilt_rrrf q = iirfilt_rrrf_create_prototype(LIQUID_IIRDES_BUTTER, LIQUID_IIRDES_LOWPASS, LIQUID_IIRDES_SOS, 4,
                                                       static_cast<float>(fc / kRate), 0, 1, 60);
        std::normal_distribution<double> step(0, 2);
        double force = 150, worstCounts = 0;
        for (int i = 0; i < 200000; ++i) {
            force = std::clamp(force + step(rng), -300.0, 300.0);
            const double x = std::round(force / 0.01) * 0.01;
            double y = x;
            d.apply(&y);
            float z = 0;
            iirfilt_rrrf_execute(q, static_cast<float>(x), &z);
            if (i > 5000)
                worstCounts = std::max(worstCounts, std::fabs(static_cast<double>(z) - y) / 0.01);
        }
        iirfilt_rrrf_destroy(q);
        std::printf("single against double precision, order 4 at %g Hz: up to %.3f counts apart\n", fc, worstCounts);
    }
    for (auto& q : single)
        iirfilt_rrrf_destroy(q);
    std::printf("(%u %g)\n", sink & 1, acc > 0 ? 1.0 : 0.0);
    return 0;
}
