// The calibration fit of `brova calibrate` on loads and readings with a known
// answer, the check of its steps against each other, and the loads a user
// types for a step.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "calibrationfit.h"

using brovatools::CalibrationFit;
using brovatools::fitCalibration;
using brovatools::parseLoad;
using brovatools::StepConsistency;
using Rows = std::vector<std::vector<double>>;

namespace {

// A sensor whose readings are counts = G * load + offset (G: outputs x k,
// here square or k x outputs), noise-free.
Rows readingsOf(const Rows& loads, const std::vector<std::vector<double>>& G, const std::vector<double>& offset)
{
    Rows out;
    for (const auto& l : loads) {
        std::vector<double> s(G.size());
        for (size_t i = 0; i < G.size(); ++i) {
            s[i] = offset[i];
            for (size_t j = 0; j < l.size(); ++j)
                s[i] += G[i][j] * l[j];
        }
        out.push_back(s);
    }
    return out;
}

std::vector<std::vector<double>> randomGain(size_t rows, size_t cols, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> cross(-8, 8);
    std::vector<std::vector<double>> G(rows, std::vector<double>(cols));
    for (size_t i = 0; i < rows; ++i)
        for (size_t j = 0; j < cols; ++j)
            G[i][j] = (i == j ? 200 : 0) + cross(rng);  // counts per N: 200 on the axis, a few % of cross-talk
    return G;
}

// matrix * reading + bias, for each step.
Rows applied(const CalibrationFit& f, const Rows& readings)
{
    Rows out;
    for (const auto& s : readings) {
        std::vector<double> l(static_cast<size_t>(f.outputs));
        for (int j = 0; j < f.outputs; ++j) {
            l[static_cast<size_t>(j)] = f.bias[static_cast<size_t>(j)];
            for (int c = 0; c < f.inputs; ++c)
                l[static_cast<size_t>(j)] += f.matrix[static_cast<size_t>(j * f.inputs + c)] * s[static_cast<size_t>(c)];
        }
        out.push_back(l);
    }
    return out;
}

void expectNear(const Rows& a, const Rows& b, double tolerance)
{
    ASSERT_EQ(a.size(), b.size());
    for (size_t r = 0; r < a.size(); ++r)
        for (size_t c = 0; c < a[r].size(); ++c)
            EXPECT_NEAR(a[r][c], b[r][c], tolerance) << "step " << r << " axis " << c;
}

const Rows kThreeAxisLoads = {{0, 0, 0},  {20, 0, 0},   {-20, 0, 0}, {0, 20, 0},
                              {0, -20, 0}, {0, 0, -30}, {10, 10, -10}};

} // namespace

TEST(CalibrationFit, RecoversAThreeAxisAndASixAxisSensorExactly)
{
    const auto G = randomGain(3, 3, 1);
    const Rows readings = readingsOf(kThreeAxisLoads, G, {120, -40, 31000});
    const CalibrationFit f = fitCalibration(readings, kThreeAxisLoads);
    ASSERT_TRUE(f.ok) << f.reason;
    EXPECT_EQ(f.rank, 4);
    EXPECT_TRUE(std::isfinite(f.condition) && f.condition >= 1);
    // The fitted matrix is G's inverse: it maps a reading never seen back to its load.
    const Rows fresh = {{3.5, -7.25, -12}};
    expectNear(applied(f, readingsOf(fresh, G, {120, -40, 31000})), fresh, 1e-9);
    for (double r : f.residualRms)
        EXPECT_LT(r, 1e-9);

    Rows loads6;
    for (int axis = 0; axis < 6; ++axis)
        for (double sign : {1.0, -1.0}) {
            std::vector<double> l(6, 0.0);
            l[static_cast<size_t>(axis)] = sign * (axis < 3 ? 100 : 5);
            loads6.push_back(l);
        }
    loads6.push_back({50, -50, 80, 2, -3, 1});
    const auto G6 = randomGain(6, 6, 2);
    const std::vector<double> offset6 = {10, -20, 30, -40, 50, -60};
    const CalibrationFit f6 = fitCalibration(readingsOf(loads6, G6, offset6), loads6);
    ASSERT_TRUE(f6.ok) << f6.reason;
    const Rows fresh6 = {{-30, 60, 150, -4, 0.5, 2.5}};
    expectNear(applied(f6, readingsOf(fresh6, G6, offset6)), fresh6, 1e-8);
}

TEST(CalibrationFit, MoreInputsThanLoadAxesGiveTheLeastNormFit)
{
    // Four elements that see three force axes: the readings vary in three
    // directions only, which still maps every load.
    const std::vector<std::vector<double>> G = {{100, 0, 25}, {0, -100, 25}, {-100, 0, 25}, {0, 100, 25}};
    const Rows readings = readingsOf(kThreeAxisLoads, G, {8000, 8000, 8000, 8000});
    const CalibrationFit f = fitCalibration(readings, kThreeAxisLoads, {"s1", "s2", "s3", "s4"});
    ASSERT_TRUE(f.ok) << f.reason;
    EXPECT_EQ(f.rank, 4);
    EXPECT_FALSE(f.note.empty());
    EXPECT_TRUE(std::isinf(f.condition));
    const Rows fresh = {{-6, 4, -20}};
    expectNear(applied(f, readingsOf(fresh, G, {8000, 8000, 8000, 8000})), fresh, 1e-9);
}

TEST(CalibrationFit, RefusesLoadsThatCannotDetermineTheMatrixAndSaysWhatIsMissing)
{
    const auto G = randomGain(3, 3, 3);
    const std::vector<double> offset = {0, 0, 30000};
    auto fit = [&](const Rows& loads) { return fitCalibration(readingsOf(loads, G, offset), loads, {"x", "y", "z"}); };

    const CalibrationFit noY = fit({{0, 0, 0}, {10, 0, 0}, {-10, 0, 0}, {0, 0, -20}, {5, 0, -5}});
    EXPECT_FALSE(noY.ok);
    EXPECT_EQ(noY.missing, std::vector<std::string>{"y"});
    EXPECT_NE(noY.reason.find("no load along y"), std::string::npos) << noY.reason;
    EXPECT_TRUE(noY.matrix.empty());

    const CalibrationFit tooFew = fit({{10, 0, 0}, {0, 10, 0}, {0, 0, 10}});
    EXPECT_FALSE(tooFew.ok);
    EXPECT_NE(tooFew.reason.find("at least 4"), std::string::npos) << tooFew.reason;

    // Every axis varies, but x and y only ever together.
    const CalibrationFit together = fit({{0, 0, 0}, {10, 10, 0}, {-10, -10, 0}, {0, 0, -20}, {5, 5, -5}});
    EXPECT_FALSE(together.ok);
    EXPECT_TRUE(together.missing.empty());
    EXPECT_NE(together.reason.find("along x and y never vary independently"), std::string::npos) << together.reason;

    // The loads are fine, the readings of y never change (a dead element).
    Rows stuck = readingsOf(kThreeAxisLoads, G, offset);
    for (auto& s : stuck)
        s[1] = 512;
    const CalibrationFit dead = fitCalibration(stuck, kThreeAxisLoads, {"x", "y", "z"});
    EXPECT_FALSE(dead.ok);
    EXPECT_NE(dead.reason.find("y never changed"), std::string::npos) << dead.reason;

    // Six axes: masses hung at arms in the x-y plane along z make no torque about z.
    Rows loads6;
    std::vector<double> l;
    std::string error;
    for (const char* text : {"1 kg -z at 0.1,0,0", "1 kg -z at 0,0.1,0", "1 kg -z at -0.1,0,0", "2 kg +x",
                             "2 kg -y", "3 kg -z", "1 kg -x at 0,0,0.1", "1 kg +y at 0,0,0.1"}) {
        ASSERT_TRUE(parseLoad(text, 6, l, error)) << error;
        loads6.push_back(l);
    }
    const auto G6 = randomGain(6, 6, 4);
    const CalibrationFit noTz = fitCalibration(readingsOf(loads6, G6, std::vector<double>(6, 0.0)), loads6);
    EXPECT_FALSE(noTz.ok);
    EXPECT_EQ(noTz.missing, std::vector<std::string>{"Tz"});
    EXPECT_NE(noTz.reason.find("no torque about z"), std::string::npos) << noTz.reason;
}

namespace {

// Readings of the loads applied, averaged over 500 samples with noise of up
// to 5 counts, and the uncertainty of each average.
Rows noisyReadings(const Rows& applied, const std::vector<std::vector<double>>& G, Rows& noise, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> n(-5, 5);
    Rows out;
    noise.clear();
    for (const auto& exact : readingsOf(applied, G, std::vector<double>(G.size(), 16000))) {
        std::vector<double> mean, u;
        for (double v : exact) {
            std::vector<double> samples;
            for (int k = 0; k < 500; ++k)
                samples.push_back(std::round(v + n(rng)));
            double sum = 0;
            for (double x : samples)
                sum += x;
            mean.push_back(sum / samples.size());
            u.push_back(brovatools::averageUncertainty(samples));
        }
        out.push_back(mean);
        noise.push_back(u);
    }
    return out;
}

} // namespace

TEST(CalibrationFit, AStepWhoseLoadIsWrongIsFoundOrAtLeastSeen)
{
    // Each axis both ways and a combination (step 7), as brova calibrate's
    // test rig loads them; step 3 (+y) typed wrong or not applied.
    const Rows given = {{0, 0, 0}, {40, 0, 0}, {-40, 0, 0}, {0, 40, 0}, {0, -40, 0}, {0, 0, 40}, {0, 0, -40},
                        {20, -25, 30}};
    const auto G = randomGain(3, 3, 5);
    const struct {
        const char* what;
        std::vector<double> typed3, applied3;
    } cases[] = {
        {"as given", {0, 40, 0}, {0, 40, 0}},
        {"a load 2 % off", {0, 40.8, 0}, {0, 40, 0}},
        {"wrong sign", {0, -40, 0}, {0, 40, 0}},
        {"10 times too small", {0, 4, 0}, {0, 40, 0}},
        {"not applied", {0, 40, 0}, {0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Rows typed = given, applied = given, noise;
        typed[3] = c.typed3;
        applied[3] = c.applied3;
        const StepConsistency check = brovatools::checkSteps(noisyReadings(applied, G, noise, 9), typed, noise);
        ASSERT_TRUE(check.checked);
        EXPECT_EQ(check.spare, 4);
        ASSERT_EQ(check.steps.size(), given.size());
        if (c.typed3 == c.applied3 || c.typed3[1] == 40.8) {
            EXPECT_TRUE(check.agree());
            for (const auto& s : check.steps)
                EXPECT_LT(s.ratio, brovatools::kResidualBound);
            continue;
        }
        EXPECT_FALSE(check.agree());
        EXPECT_GT(check.steps[3].ratio, 5 * brovatools::kResidualBound);  // far beyond the bound, not near it
        ASSERT_EQ(check.disagreeing, std::vector<int>{3});
        ASSERT_EQ(check.othersRead.size(), 1u);
        for (size_t j = 0; j < 3; ++j)
            EXPECT_NEAR(check.othersRead[0][j], c.applied3[j], 0.05) << j;  // what was applied, not typed
    }

    // Where the steps cannot tell which is wrong, they say so and name none.
    Rows noise;
    // +x and -x only: a sign typed wrong in either explains it.
    const Rows bothWays(given.begin(), given.begin() + 7);
    Rows typed = bothWays;
    typed[1] = {-40, 0, 0};
    StepConsistency check = brovatools::checkSteps(noisyReadings(bothWays, G, noise, 10), typed, noise);
    EXPECT_TRUE(check.disagreeing.empty());
    EXPECT_EQ(check.alternatives, (std::vector<std::vector<int>>{{1}, {2}}));
    // One step to spare: a mistake is seen, not where.
    const Rows minimumPlusOne = {{0, 0, 0}, {40, 0, 0}, {0, 40, 0}, {0, 0, 40}, {20, -25, 30}};
    typed = minimumPlusOne;
    typed[2] = {0, -40, 0};
    check = brovatools::checkSteps(noisyReadings(minimumPlusOne, G, noise, 11), typed, noise);
    EXPECT_EQ(check.spare, 1);
    EXPECT_TRUE(check.disagreeing.empty() && check.alternatives.empty());
    EXPECT_FALSE(check.unlocated.empty());
    // No load along x ever applied: the readings there are noise.
    Rows applied = given;
    for (auto& l : applied)
        l[0] = 0;
    check = brovatools::checkSteps(noisyReadings(applied, G, noise, 12), given, noise);
    EXPECT_EQ(check.noiseAxis, 0);
    EXPECT_GT(check.noiseShare, brovatools::kNoiseShare);
    // No step to spare: nothing can be seen.
    const Rows minimum(minimumPlusOne.begin(), minimumPlusOne.begin() + 4);
    typed = minimum;
    typed[2] = {0, -40, 0};
    check = brovatools::checkSteps(noisyReadings(minimum, G, noise, 13), typed, noise);
    EXPECT_EQ(check.spare, 0);
    EXPECT_TRUE(check.agree());
}

TEST(CalibrationFit, TheUncertaintyOfAnAverageHoldsForFilteredSamples)
{
    std::mt19937 rng(3);
    std::normal_distribution<double> n(0, 10);
    std::vector<double> white, filtered, steady(500, 1234);
    double state = 0;
    for (int k = 0; k < 500; ++k) {
        white.push_back(n(rng));
        state = 0.9 * state + 0.1 * n(rng) * 4.36;  // the same spread, neighbours alike
        filtered.push_back(state);
    }
    // White noise: 10 / sqrt(500); filtered, about 4 times that (19 samples
    // count as one); steady counts: the rounding of a count.
    EXPECT_NEAR(brovatools::averageUncertainty(white), 10 / std::sqrt(500.0), 0.15);
    EXPECT_GT(brovatools::averageUncertainty(filtered), 2.5 * 10 / std::sqrt(500.0));
    EXPECT_DOUBLE_EQ(brovatools::averageUncertainty(steady), std::sqrt(1.0 / 12));
}

TEST(CalibrationFit, ParsesForcesWrenchesAndMassesAtAnArm)
{
    std::vector<double> l;
    std::string error;
    ASSERT_TRUE(parseLoad("1.5, -2 9.81", 3, l, error)) << error;
    EXPECT_EQ(l, (std::vector<double>{1.5, -2, 9.81}));
    ASSERT_TRUE(parseLoad("2.5 kg -z", 3, l, error)) << error;
    EXPECT_EQ(l, (std::vector<double>{0, 0, -2.5 * 9.80665}));
    ASSERT_TRUE(parseLoad("500 g x at 0,0.1,0.2", 6, l, error)) << error;
    const double F = 0.5 * 9.80665;  // T = r x F, r = (0, 0.1, 0.2), F = (F, 0, 0)
    const std::vector<double> want = {F, 0, 0, 0, 0.2 * F, -0.1 * F};
    for (size_t i = 0; i < 6; ++i)
        EXPECT_NEAR(l[i], want[i], 1e-12) << i;
    ASSERT_TRUE(parseLoad("1 2 3", 6, l, error));
    EXPECT_EQ(l, (std::vector<double>{1, 2, 3, 0, 0, 0}));

    // Pounds and pounds-force, N along an axis, a unit against its number.
    const struct {
        const char* text;
        std::vector<double> load;
    } units[] = {
        {"2kg -z", {0, 0, -2 * 9.80665}},
        {"5 lb +x", {5 * 0.45359237 * 9.80665, 0, 0}},
        {"5lb y", {0, 5 * 0.45359237 * 9.80665, 0}},
        {"20 N -z", {0, 0, -20}},
        {"4.5lbf x", {4.5 * 4.4482216152605, 0, 0}},
        {"1 -2 3 lbf", {4.4482216152605, -2 * 4.4482216152605, 3 * 4.4482216152605}},
        {"1 2 3 N", {1, 2, 3}},
        {"250g -y", {0, -0.25 * 9.80665, 0}},
    };
    for (const auto& u : units) {
        ASSERT_TRUE(parseLoad(u.text, 3, l, error)) << u.text << ": " << error;
        for (size_t i = 0; i < 3; ++i)
            EXPECT_NEAR(l[i], u.load[i], 1e-12) << u.text;
    }
    ASSERT_TRUE(parseLoad("10 N x at 0,0,0.1", 6, l, error)) << error;
    EXPECT_NEAR(l[4], 1.0, 1e-12);  // r x F: 0.1 m above, 10 N along x: +1 N*m about y

    for (const char* bad : {"1 2", "1 2 3 4 5 6", "1 2 x", "2 kg", "2 kg w", "-1 kg z", "2 kg z at 0,0,0.1", "2 kgs z",
                            "1 2 3 kg", "2e kg z", "1 2 3 4 5 6 lbf",
                            // not finite, or too large to compute (NaN and infinity are bad values)
                            "nan 0 0", "0 inf 0", "1e308 kg z", "infkg z", "nan N x", "1e308 1e308 lbf"})
        EXPECT_FALSE(parseLoad(bad, 3, l, error)) << bad;
    EXPECT_FALSE(parseLoad("2 kg z at 0,0", 6, l, error));
    EXPECT_FALSE(parseLoad("2 kg z at nan,0,0", 6, l, error));
    EXPECT_FALSE(parseLoad("2 kg z at 1e308,1e308,0", 6, l, error));
    EXPECT_FALSE(parseLoad("1 2 3 4 5 6 lbf", 6, l, error));
}
