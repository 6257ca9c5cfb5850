// The tools' low-pass filter: its response against the analytic Butterworth
// magnitude of its bilinear design, a start afresh after a gap, and the
// cut-offs and orders it refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "lowpass.h"

using brovatools::LowPass;

namespace {

// |H| of an order-n digital Butterworth low-pass designed by the bilinear
// transform with its cut-off pre-warped.
double butterworth(double f, double fc, double fs, int n)
{
    const double ratio = std::tan(M_PI * f / fs) / std::tan(M_PI * fc / fs);
    return 1 / std::sqrt(1 + std::pow(ratio, 2 * n));
}

double dB(double v) { return 20 * std::log10(v); }

} // namespace

TEST(LowPass, ResponseIsButterworthsAtTheCutOffAndADecadeAbove)
{
    for (int order = 1; order <= LowPass::kMaxOrder; ++order) {
        for (double fc : {2.0, 20.0, 40.0}) {
            LowPass f;
            ASSERT_TRUE(f.design(fc, order, 1000, 1)) << order << " " << fc;
            for (double at : {fc / 10, fc, 10 * fc})
                EXPECT_NEAR(dB(f.magnitude(at)), dB(butterworth(at, fc, 1000, order)), 0.1)
                    << "order " << order << " cut-off " << fc << " at " << at;
        }
    }
    // A sine at the cut-off through the filter itself (order 4, 20 Hz at
    // 1000 per second): amplitude 1/sqrt(2) once settled.
    LowPass f;
    ASSERT_TRUE(f.design(20, 4, 1000, 1));
    double peak = 0;
    for (int k = 0; k < 4000; ++k) {
        double v = std::sin(2 * M_PI * 20 * k / 1000);
        f.apply(&v);
        if (k >= 2000)
            peak = std::max(peak, std::fabs(v));
    }
    EXPECT_NEAR(peak, std::sqrt(0.5), 0.005);
}

TEST(LowPass, AfterAResetTheNextSampleStartsItAfresh)
{
    // Three axes: 100, -7, 0 for a while; after a gap the load is 500: the
    // first sample after the reset reads 500, not a blend with the past.
    LowPass f;
    ASSERT_TRUE(f.design(5, 2, 1000, 3));
    double v[3] = {100, -7, 0};
    f.apply(v);
    EXPECT_DOUBLE_EQ(v[0], 100);  // the first sample starts it afresh too
    EXPECT_DOUBLE_EQ(v[1], -7);
    for (int k = 0; k < 50; ++k) {
        double w[3] = {100, -7, 0};
        f.apply(w);
        EXPECT_NEAR(w[0], 100, 1e-9);
    }
    double stale[3] = {500, 500, 500};
    LowPass copy = f;
    copy.apply(stale);
    EXPECT_LT(stale[0], 110);  // without a reset it smears the gap
    f.reset();
    double after[3] = {500, 500, 500};
    f.apply(after);
    EXPECT_DOUBLE_EQ(after[0], 500);
    EXPECT_DOUBLE_EQ(after[2], 500);
}

TEST(LowPass, RefusesWhatIsNoCutOffOrOrder)
{
    EXPECT_EQ(LowPass::check(20, 2, 1000), "");
    EXPECT_EQ(LowPass::check(499.9, 8, 1000), "");
    for (double bad : {0.0, -5.0, std::nan(""), std::numeric_limits<double>::infinity()})
        EXPECT_NE(LowPass::check(bad, 2, 1000), "") << bad;
    EXPECT_NE(LowPass::check(500, 2, 1000), "");
    EXPECT_NE(LowPass::check(20, 0, 1000), "");
    EXPECT_NE(LowPass::check(20, 9, 1000), "");
    LowPass f;
    EXPECT_FALSE(f.design(50, 2, 100, 3));  // at the Nyquist frequency of 100 per second
    EXPECT_FALSE(f.on());
    double v = 3;
    f.apply(&v);
    EXPECT_EQ(v, 3);
    EXPECT_TRUE(f.design(49, 2, 100, 3));
    EXPECT_GT(f.groupDelay(4.9), 0);
}
