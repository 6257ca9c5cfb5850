// How well brova calibrate's fit recovers a sensor's calibration, and what
// applying one costs.
//
// A sensor as the simulator makes one: counts = G load + b, G about 100
// counts per N (2000 per N*m) with up to 3 % cross-talk, b a few hundred
// counts (z about 16000), and noise of an integer in [-A, A] counts on every
// component of every sample, rounded to whole counts. A step averages 0.5 s
// of samples at 1000 per second, as brova calibrate does. For each load set
// and noise, over many sensors: the relative error of the fitted matrix
// against the true one (G's inverse; Frobenius norm), the residual the tool
// reports, and the force (torque) error on 20 held-out loads. Then how the
// check of the steps against each other (checkSteps) treats loads as given,
// loads hung a little askew, and one load typed wrong or not applied: the
// share of runs refused, and of those the share that names the wrong step
// alone. Then the cost of BrovaCalibration::applyWrench per six-axis sample.
//
//   bench_calibration [--trials N]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <Eigen/Dense>
#include <Eigen/Geometry>

#include "brovacalibration.h"
#include "calibrationfit.h"

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;
using Rows = std::vector<std::vector<double>>;

constexpr int kSamplesPerStep = 500;  // 0.5 s at 1000 per second
constexpr double kForceScale = 75;    // N: the simulated sensors' full scale
constexpr double kTorqueScale = 5;    // N*m

struct Sensor {
    MatrixXd G;  // counts per N (N*m)
    VectorXd b;  // counts at zero load
};

Sensor randomSensor(int m, std::mt19937_64& rng)
{
    std::uniform_real_distribution<double> u(-1, 1);
    Sensor s{MatrixXd(m, m), VectorXd(m)};
    for (int r = 0; r < m; ++r) {
        const double perUnit = r < 3 ? 100 : 2000;
        for (int c = 0; c < m; ++c) {
            const double column = c < 3 ? 100 : 2000;  // cross-talk relative to the column's own scale
            s.G(r, c) = r == c ? perUnit * (1 + 0.1 * u(rng)) : 0.03 * u(rng) * std::sqrt(perUnit * column);
        }
        s.b(r) = std::round(r == 2 ? 16000 + 500 * u(rng) : 300 * u(rng));
    }
    return s;
}

// One step's averaged reading.
std::vector<double> reading(const Sensor& s, const std::vector<double>& load, int noise, std::mt19937_64& rng)
{
    const Eigen::Index m = s.G.rows();
    const VectorXd exact = s.G * Eigen::Map<const VectorXd>(load.data(), m) + s.b;
    std::uniform_int_distribution<int> n(-noise, noise);
    VectorXd sum = VectorXd::Zero(m);
    for (int k = 0; k < kSamplesPerStep; ++k)
        for (Eigen::Index i = 0; i < m; ++i)
            sum(i) += std::round(exact(i) + (noise ? n(rng) : 0));
    sum /= kSamplesPerStep;
    return std::vector<double>(sum.data(), sum.data() + m);
}

double fullScale(int axis)
{
    return axis < 3 ? kForceScale : kTorqueScale;
}

// No load, then each axis alone: k + 1 loads, the least the fit takes.
Rows minimalSet(int m)
{
    Rows loads{std::vector<double>(static_cast<size_t>(m), 0.0)};
    for (int a = 0; a < m; ++a) {
        std::vector<double> l(static_cast<size_t>(m), 0.0);
        l[static_cast<size_t>(a)] = 0.66 * fullScale(a);
        loads.push_back(l);
    }
    return loads;
}

// No load, each axis both ways at 2/3 of full scale, every pair of axes
// together at 1/2, and all axes at 1/3.
Rows recommendedSet(int m)
{
    Rows loads{std::vector<double>(static_cast<size_t>(m), 0.0)};
    for (int a = 0; a < m; ++a)
        for (double sign : {1.0, -1.0}) {
            std::vector<double> l(static_cast<size_t>(m), 0.0);
            l[static_cast<size_t>(a)] = sign * 0.66 * fullScale(a);
            loads.push_back(l);
        }
    for (int a = 0; a < m; ++a)
        for (int c = a + 1; c < m; ++c) {
            std::vector<double> l(static_cast<size_t>(m), 0.0);
            l[static_cast<size_t>(a)] = 0.5 * fullScale(a);
            l[static_cast<size_t>(c)] = ((a + c) % 2 ? -0.5 : 0.5) * fullScale(c);
            loads.push_back(l);
        }
    std::vector<double> all(static_cast<size_t>(m));
    for (int a = 0; a < m; ++a)
        all[static_cast<size_t>(a)] = (a % 2 ? -1 : 1) * fullScale(a) / 3;
    loads.push_back(all);
    return loads;
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(std::min<double>(v.size() - 1, std::floor(p * (v.size() - 1) + 0.5)))];
}

struct Row {
    std::vector<double> matrixError, residual, forceError, torqueError;
    int steps = 0;
    double condition = 0;
};

Row run(int m, bool recommended, int noise, int trials)
{
    std::mt19937_64 rng(1234 + static_cast<unsigned>(m * 10 + noise) + (recommended ? 7 : 0));
    std::uniform_real_distribution<double> u(-1, 1);
    const Rows loads = recommended ? recommendedSet(m) : minimalSet(m);
    Row row;
    row.steps = static_cast<int>(loads.size());
    for (int t = 0; t < trials; ++t) {
        const Sensor s = randomSensor(m, rng);
        Rows readings;
        for (const auto& l : loads)
            readings.push_back(reading(s, l, noise, rng));
        const brovatools::CalibrationFit f = brovatools::fitCalibration(readings, loads);
        if (!f.ok) {
            std::fprintf(stderr, "bench_calibration: fit refused: %s\n", f.reason.c_str());
            std::exit(1);
        }
        row.condition = f.condition;
        const MatrixXd C = Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(
            f.matrix.data(), m, m);
        const MatrixXd truth = s.G.inverse();
        row.matrixError.push_back((C - truth).norm() / truth.norm());
        double worst = 0;
        for (double r : f.residualRms)
            worst = std::max(worst, r);
        row.residual.push_back(worst);
        // 20 held-out loads anywhere within 2/3 of full scale.
        const VectorXd bias = Eigen::Map<const VectorXd>(f.bias.data(), m);
        double fe = 0, te = 0;
        for (int h = 0; h < 20; ++h) {
            std::vector<double> load(static_cast<size_t>(m));
            for (int a = 0; a < m; ++a)
                load[static_cast<size_t>(a)] = 0.66 * fullScale(a) * u(rng);
            const std::vector<double> r = reading(s, load, noise, rng);
            const VectorXd got = C * Eigen::Map<const VectorXd>(r.data(), m) + bias;
            for (int a = 0; a < m; ++a) {
                const double e = std::abs(got(a) - load[static_cast<size_t>(a)]);
                (a < 3 ? fe : te) = std::max(a < 3 ? fe : te, e);
            }
        }
        row.forceError.push_back(fe);
        row.torqueError.push_back(te);
    }
    return row;
}

// One step's averaged reading, and the uncertainty of each input's average
// as brova calibrate works it out from the samples.
std::vector<double> readingAndNoise(const Sensor& s, const std::vector<double>& load, int noise, std::mt19937_64& rng,
                                    std::vector<double>& uncertainty)
{
    const Eigen::Index m = s.G.rows();
    const VectorXd exact = s.G * Eigen::Map<const VectorXd>(load.data(), m) + s.b;
    std::uniform_int_distribution<int> n(-noise, noise);
    std::vector<std::vector<double>> samples(static_cast<size_t>(m), std::vector<double>(kSamplesPerStep));
    for (int k = 0; k < kSamplesPerStep; ++k)
        for (Eigen::Index i = 0; i < m; ++i)
            samples[static_cast<size_t>(i)][static_cast<size_t>(k)] = std::round(exact(i) + (noise ? n(rng) : 0));
    std::vector<double> mean(static_cast<size_t>(m));
    uncertainty.assign(static_cast<size_t>(m), 0.0);
    for (Eigen::Index i = 0; i < m; ++i) {
        for (double v : samples[static_cast<size_t>(i)])
            mean[static_cast<size_t>(i)] += v / kSamplesPerStep;
        uncertainty[static_cast<size_t>(i)] = brovatools::averageUncertainty(samples[static_cast<size_t>(i)]);
    }
    return mean;
}

// No load, then each axis both ways at 2/3 of full scale: 2m + 1 steps.
Rows bothWaysSet(int m)
{
    Rows loads = recommendedSet(m);
    loads.resize(static_cast<size_t>(2 * m + 1));
    return loads;
}

// The minimum set and all axes at 1/3: one step to spare.
Rows minimumPlusOneSet(int m)
{
    Rows loads = minimalSet(m);
    loads.push_back(recommendedSet(m).back());
    return loads;
}

enum class Mistake { None, Askew, Sign, TenTimesSmall, NotApplied };

struct CheckRow {
    int trials = 0, refused = 0, named = 0, misnamed = 0;
};

CheckRow runCheck(int m, const Rows& loads, int noise, Mistake mistake, int trials)
{
    std::mt19937_64 rng(777 + static_cast<unsigned>(m * 10 + noise) + static_cast<unsigned>(mistake) * 1000 +
                        loads.size() * 100000);
    std::uniform_real_distribution<double> u(-1, 1);
    CheckRow row;
    row.trials = trials;
    for (int t = 0; t < trials; ++t) {
        const Sensor s = randomSensor(m, rng);
        Rows typed = loads, applied = loads;
        // The step with the mistake: any but the first (no load).
        const size_t wrong = 1 + static_cast<size_t>(std::uniform_int_distribution<size_t>(0, loads.size() - 2)(rng));
        if (mistake == Mistake::Askew) {
            // Every load hung up to 2 degrees off, its size off by up to 0.5 %.
            for (auto& l : applied) {
                Eigen::Vector3d axis(u(rng), u(rng), u(rng));
                const Eigen::Matrix3d R = Eigen::AngleAxisd(2 * M_PI / 180 * std::abs(u(rng)), axis.normalized())
                                              .toRotationMatrix();
                const double size = 1 + 0.005 * u(rng);
                const Eigen::Vector3d f = size * (R * Eigen::Vector3d(l[0], l[1], l[2]));
                for (int a = 0; a < 3; ++a)
                    l[static_cast<size_t>(a)] = f(a);
                for (int a = 3; a < m; ++a)
                    l[static_cast<size_t>(a)] *= size;
            }
        } else if (mistake == Mistake::Sign) {
            for (double& v : typed[wrong])
                v = -v;
        } else if (mistake == Mistake::TenTimesSmall) {
            for (double& v : typed[wrong])
                v /= 10;
        } else if (mistake == Mistake::NotApplied) {
            applied[wrong].assign(static_cast<size_t>(m), 0.0);
        }
        Rows readings, noiseOf;
        for (const auto& l : applied) {
            std::vector<double> un;
            readings.push_back(readingAndNoise(s, l, noise, rng, un));
            noiseOf.push_back(un);
        }
        const brovatools::StepConsistency c = brovatools::checkSteps(readings, typed, noiseOf);
        if (!c.agree()) {
            ++row.refused;
            if (c.disagreeing == std::vector<int>{static_cast<int>(wrong)})
                ++row.named;
            else if (!c.disagreeing.empty())
                ++row.misnamed;
        }
    }
    return row;
}

// ns per applyWrench call over an array of six-axis samples; the best of 5 runs.
double costOfApply(const BrovaCalibration& cal, bool fourChannel)
{
    constexpr int n = 1 << 16;
    std::vector<BrovaPackage6D> samples(n);
    std::vector<BrovaPackage> channels(4 * n);
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> v(-20000, 20000);
    for (int i = 0; i < n; ++i) {
        BrovaPackage6D& p = samples[static_cast<size_t>(i)];
        p.Fx = v(rng), p.Fy = v(rng), p.Fz = v(rng), p.Tx = v(rng), p.Ty = v(rng), p.Tz = v(rng);
        for (int c = 0; c < 4; ++c) {
            BrovaPackage& q = channels[static_cast<size_t>(4 * i + c)];
            q.x = v(rng), q.y = v(rng), q.z = v(rng);
        }
    }
    double best = 1e30, sink = 0;
    for (int rep = 0; rep < 5; ++rep) {
        const auto start = std::chrono::steady_clock::now();
        for (int round = 0; round < 16; ++round)
            for (int i = 0; i < n; ++i) {
                double w[6];
                if (fourChannel) {
                    const BrovaPackage* c = &channels[static_cast<size_t>(4 * i)];
                    cal.applyWrench(c[0], c[1], c[2], c[3], false, w);
                } else {
                    cal.applyWrench(samples[static_cast<size_t>(i)], false, w);
                }
                sink += w[0] + w[5];
            }
        const double ns =
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / (16.0 * n);
        best = std::min(best, ns);
    }
    if (sink == 42.4242)
        std::puts("");  // keeps the results alive
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    int trials = 200;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--trials") == 0 && i + 1 < argc) {
            trials = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: bench_calibration [--trials N]\n");
            return 2;
        }
    }
    if (trials < 2)
        trials = 2;

    std::printf("Fit against the true calibration, %d simulated sensors per row; a step averages %d samples; "
                "held-out: 20 loads within 2/3 of full scale (%g N, %g N*m), largest error per sensor.\n\n",
                trials, kSamplesPerStep, kForceScale, kTorqueScale);
    std::printf("| sensor | loads | steps | noise (counts) | condition | matrix error p50 / p95 | "
                "residual RMS p50 | held-out force error p50 / p95 (N) | held-out torque error p50 / p95 (N*m) |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (int m : {3, 6})
        for (bool recommended : {false, true})
            for (int noise : {5, 50}) {
                const Row r = run(m, recommended, noise, trials);
                std::printf("| %s | %s | %d | ±%d | %.2f | %.3f %% / %.3f %% | %.4f | %.4f / %.4f | %s |\n",
                            m == 3 ? "three-axis" : "six-axis", recommended ? "recommended" : "minimum", r.steps,
                            noise, r.condition, 100 * percentile(r.matrixError, 0.5),
                            100 * percentile(r.matrixError, 0.95), percentile(r.residual, 0.5),
                            percentile(r.forceError, 0.5), percentile(r.forceError, 0.95),
                            m == 6 ? (std::to_string(percentile(r.torqueError, 0.5)).substr(0, 6) + " / " +
                                      std::to_string(percentile(r.torqueError, 0.95)).substr(0, 6))
                                         .c_str()
                                   : "-");
            }

    // The check of the steps against each other.
    const int checkTrials = std::max(2, trials / 2);
    std::printf("\nThe steps checked against each other, %d simulated sensors per cell: the share of runs refused "
                "(and, after slashes, of those the share that names the step with the mistake alone, and that names another "
                "step). Askew: every load up to 2 degrees off "
                "its axis and 0.5 %% off its size; a mistake: one step's load typed with the wrong sign, typed 10 "
                "times too small, or not applied.\n\n",
                checkTrials);
    std::printf("| sensor | loads | steps | spare | noise (counts) | as given | askew | wrong sign | 10 x too small | "
                "not applied |\n|---|---|---|---|---|---|---|---|---|---|\n");
    for (int m : {3, 6})
        for (int set = 0; set < 3; ++set)
            for (int noise : {5, 50}) {
                const Rows loads = set == 0 ? minimumPlusOneSet(m) : set == 1 ? bothWaysSet(m) : recommendedSet(m);
                auto cell = [&](Mistake mistake, bool withNamed) {
                    const CheckRow r = runCheck(m, loads, noise, mistake, checkTrials);
                    char text[64];
                    if (withNamed)
                        std::snprintf(text, sizeof text, "%.0f %% / %.0f %% / %.0f %%", 100.0 * r.refused / r.trials,
                                      r.refused ? 100.0 * r.named / r.refused : 0.0,
                                      r.refused ? 100.0 * r.misnamed / r.refused : 0.0);
                    else
                        std::snprintf(text, sizeof text, "%.0f %%", 100.0 * r.refused / r.trials);
                    return std::string(text);
                };
                std::printf("| %s | %s | %zu | %zu | ±%d | %s | %s | %s | %s | %s |\n", m == 3 ? "three-axis" : "six-axis",
                            set == 0 ? "minimum + 1" : set == 1 ? "each axis both ways" : "recommended", loads.size(),
                            loads.size() - static_cast<size_t>(m + 1), noise, cell(Mistake::None, false).c_str(),
                            cell(Mistake::Askew, false).c_str(), cell(Mistake::Sign, true).c_str(),
                            cell(Mistake::TenTimesSmall, true).c_str(), cell(Mistake::NotApplied, true).c_str());
            }

    // The cost of applying a six-axis calibration.
    std::mt19937_64 rng(9);
    const Sensor s = randomSensor(6, rng);
    const MatrixXd C = s.G.inverse();
    std::vector<double> matrix, bias;
    for (int r = 0; r < 6; ++r) {
        bias.push_back(-(C * s.b)(r));
        for (int c = 0; c < 6; ++c)
            matrix.push_back(C(r, c));
    }
    BrovaCalibration plain;
    if (!plain.setIdentity(95, "", "", "2026-01-01") ||
        !plain.setSixAxis({"Fx", "Fy", "Fz", "Tx", "Ty", "Tz"}, matrix, bias)) {
        std::fprintf(stderr, "bench_calibration: %s\n", plain.error().c_str());
        return 1;
    }
    BrovaCalibration tool = plain;
    const double translation[3] = {0.01, -0.02, 0.15};
    const double rotation[9] = {0, -1, 0, 1, 0, 0, 0, 0, 1};
    if (!tool.setTool(translation, rotation)) {
        std::fprintf(stderr, "bench_calibration: %s\n", tool.error().c_str());
        return 1;
    }
    BrovaCalibration four;
    std::vector<std::string> names;
    std::vector<double> matrix12(72);
    for (int n = 1; n <= 4; ++n)
        for (const char* axis : {"x", "y", "z"})
            names.push_back("sensor" + std::to_string(n) + "." + axis);
    for (size_t i = 0; i < matrix12.size(); ++i)
        matrix12[i] = 0.001 * static_cast<double>((i * 7) % 13);
    if (!four.setIdentity(94, "", "", "2026-01-01") || !four.setSixAxis(names, matrix12, bias)) {
        std::fprintf(stderr, "bench_calibration: %s\n", four.error().c_str());
        return 1;
    }
    std::printf("\n| applyWrench | ns per sample |\n|---|---|\n");
    std::printf("| six-axis sample, 6 x 6 | %.1f |\n", costOfApply(plain, false));
    std::printf("| six-axis sample, 6 x 6 and a tool transform | %.1f |\n", costOfApply(tool, false));
    std::printf("| four channels read as six-axis, 6 x 12 | %.1f |\n", costOfApply(four, true));
    return 0;
}
