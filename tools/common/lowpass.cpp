#include "lowpass.h"

#include <liquid/liquid.h>

#include <cmath>
#include <complex>
#include <cstdio>

namespace brovatools {

std::string LowPass::check(double cutoff, int order, double maxRate)
{
    if (!std::isfinite(cutoff) || cutoff <= 0)
        return "a cut-off frequency above 0 Hz expected";
    if (order < 1 || order > kMaxOrder)
        return "the order is 1 ... " + std::to_string(kMaxOrder);
    if (maxRate > 0 && cutoff >= maxRate / 2) {
        char text[160];
        std::snprintf(text, sizeof text, "%g Hz is not below half the sample rate (%g per second: below %g Hz)",
                      cutoff, maxRate, maxRate / 2);
        return text;
    }
    return {};
}

bool LowPass::design(double cutoff, int order, double rateHz, int axisCount)
{
    sections.clear();
    primed = false;
    fc = cutoff;
    n = order;
    fs = rateHz;
    axes = axisCount;
    if (!check(cutoff, order, rateHz).empty() || rateHz <= 0 || axisCount <= 0)
        return false;
    const unsigned r = static_cast<unsigned>(order % 2), l = static_cast<unsigned>(order / 2);
    const unsigned count = l + r;
    std::vector<float> b(3 * count), a(3 * count);
    if (liquid_iirdes(LIQUID_IIRDES_BUTTER, LIQUID_IIRDES_LOWPASS, LIQUID_IIRDES_SOS, static_cast<unsigned>(order),
                      static_cast<float>(cutoff / rateHz), 0.0f, 1.0f, 60.0f, b.data(), a.data()) != 0)
        return false;
    for (unsigned i = 0; i < count; ++i) {
        const double a0 = a[3 * i];
        if (!(a0 != 0))
            return sections.clear(), false;
        sections.push_back({b[3 * i] / a0, b[3 * i + 1] / a0, b[3 * i + 2] / a0, a[3 * i + 1] / a0, a[3 * i + 2] / a0});
    }
    // Unit gain at 0 Hz, whatever the single-precision coefficients sum to.
    for (Section& s : sections) {
        const double g = (1 + s.a1 + s.a2) / (s.b0 + s.b1 + s.b2);
        if (!std::isfinite(g))
            return sections.clear(), false;
        s.b0 *= g;
        s.b1 *= g;
        s.b2 *= g;
    }
    state.assign(static_cast<size_t>(axes) * sections.size() * 2, 0.0);
    return true;
}

void LowPass::apply(double* values)
{
    if (sections.empty())
        return;
    double* st = state.data();
    for (int k = 0; k < axes; ++k) {
        double x = values[k];
        for (const Section& s : sections) {
            if (!primed) {
                // The state of a section that has seen x for ever (unit
                // gain at 0 Hz: its output is x).
                st[1] = (s.b2 - s.a2) * x;
                st[0] = (s.b1 - s.a1) * x + st[1];
            }
            const double y = s.b0 * x + st[0];
            st[0] = s.b1 * x - s.a1 * y + st[1];
            st[1] = s.b2 * x - s.a2 * y;
            x = y;
            st += 2;
        }
        values[k] = x;
    }
    primed = true;
}

namespace {

std::complex<double> polynomial(double c0, double c1, double c2, std::complex<double> z1)
{
    return c0 + z1 * (c1 + z1 * c2);
}

} // namespace

double LowPass::magnitude(double hz) const
{
    if (sections.empty())
        return 1;
    const std::complex<double> z1 = std::polar(1.0, -2 * M_PI * hz / fs);
    std::complex<double> h = 1;
    for (const Section& s : sections)
        h *= polynomial(s.b0, s.b1, s.b2, z1) / polynomial(1, s.a1, s.a2, z1);
    return std::abs(h);
}

double LowPass::groupDelay(double hz) const
{
    if (sections.empty())
        return 0;
    // A polynomial's group delay in samples: Re(sum k c_k z^-k / sum c_k z^-k).
    const std::complex<double> z1 = std::polar(1.0, -2 * M_PI * hz / fs);
    const auto delay = [&](double c0, double c1, double c2) {
        return std::real((c1 * z1 + 2.0 * c2 * z1 * z1) / polynomial(c0, c1, c2, z1));
    };
    double samples = 0;
    for (const Section& s : sections)
        samples += delay(s.b0, s.b1, s.b2) - delay(1, s.a1, s.a2);
    return samples / fs;
}

std::string lowPassDelayText(const LowPass& f)
{
    char text[160];
    std::snprintf(text, sizeof text, "group delay %.1f ms at %g Hz (%.1f ms at %g Hz)", f.groupDelay(f.cutoff()) * 1e3,
                  f.cutoff(), f.groupDelay(f.cutoff() / 10) * 1e3, f.cutoff() / 10);
    return text;
}

} // namespace brovatools
