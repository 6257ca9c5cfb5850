#include "calibrationfit.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace brovatools {

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;

// Below this fraction of the largest singular value a direction counts as not
// varied at all: what is left there is rounding, not a measurement.
constexpr double kRankTolerance = 1e-9;

std::string joinNames(const std::vector<std::string>& names)
{
    std::string out;
    for (size_t i = 0; i < names.size(); ++i)
        out += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return out;
}

// "along y" for a force axis, "about Tz" ... for a torque.
std::string direction(const std::string& axis)
{
    if (axis.size() == 2 && axis[0] == 'T')
        return "torque about " + axis.substr(1);
    if (axis.size() == 2 && axis[0] == 'F')
        return "force along " + axis.substr(1);
    return "load along " + axis;
}

// Which load directions the steps never vary: single axes that stay the same
// in every step, or else a combination of axes that always changes together.
// Empty when the loads span every direction.
std::string missingDirections(const MatrixXd& loads, const std::vector<std::string>& axes,
                              std::vector<std::string>& missing)
{
    const Eigen::Index n = loads.rows(), m = loads.cols();
    std::vector<std::string> parts;
    // Forces and torques are compared within their own group (their units differ).
    for (Eigen::Index j = 0; j < m; ++j) {
        const Eigen::Index group = j < 3 ? 0 : 3;
        const double scale = loads.middleCols(group, std::min<Eigen::Index>(3, m - group)).cwiseAbs().maxCoeff();
        const double spread = loads.col(j).maxCoeff() - loads.col(j).minCoeff();
        if (spread <= 1e-9 * scale || spread == 0) {
            missing.push_back(axes[static_cast<size_t>(j)]);
            const bool none = loads.col(j).cwiseAbs().maxCoeff() == 0;
            parts.push_back(none ? "no " + direction(axes[static_cast<size_t>(j)])
                                 : "the " + direction(axes[static_cast<size_t>(j)]) + " is the same in every step");
        }
    }
    if (!parts.empty() || n < 2)
        return joinNames(parts);
    // Every axis varies: do they vary independently?
    MatrixXd centred = loads.rowwise() - loads.colwise().mean();
    for (Eigen::Index j = 0; j < m; ++j)
        centred.col(j) /= centred.col(j).norm();
    Eigen::JacobiSVD<MatrixXd> svd(centred, Eigen::ComputeThinV);
    const VectorXd sv = svd.singularValues();
    if (sv.size() == m && sv(m - 1) > kRankTolerance * sv(0))
        return {};
    // A direction the loads never take: the last right singular vector (or,
    // with fewer steps than axes, one orthogonal to every step).
    VectorXd v;
    if (sv.size() < m || svd.matrixV().cols() < m) {
        Eigen::JacobiSVD<MatrixXd> full(centred, Eigen::ComputeFullV);
        v = full.matrixV().col(m - 1);
    } else {
        v = svd.matrixV().col(m - 1);
    }
    std::vector<std::string> together;
    for (Eigen::Index j = 0; j < m; ++j)
        if (std::abs(v(j)) >= 0.2 * v.cwiseAbs().maxCoeff())
            together.push_back(axes[static_cast<size_t>(j)]);
    return "the loads along " + joinNames(together) + " never vary independently (every step changes them in the "
           "same proportion): load them separately too";
}

// The readings S (steps x inputs), each input centred and scaled to unit
// norm, and a constant column of unit norm: the condition number then speaks
// of the loads' design, not of the inputs' offsets and units. still: the
// inputs that never change (their column left zero).
MatrixXd scaledDesign(const MatrixXd& S, VectorXd& mean, VectorXd& scale, std::vector<Eigen::Index>& still)
{
    const Eigen::Index n = S.rows(), k = S.cols();
    mean = S.colwise().mean();
    MatrixXd A(n, k + 1);
    scale.resize(k);
    for (Eigen::Index c = 0; c < k; ++c) {
        A.col(c) = S.col(c).array() - mean(c);
        const double norm = A.col(c).norm();
        const double size = std::max(S.col(c).cwiseAbs().maxCoeff(), 1.0);
        scale(c) = norm > 1e-12 * size ? norm : 1.0;
        if (norm <= 1e-12 * size) {
            A.col(c).setZero();
            still.push_back(c);
        }
        A.col(c) /= scale(c);
    }
    A.col(k).setConstant(1.0 / std::sqrt(static_cast<double>(n)));
    return A;
}

bool parseNumber(const std::string& token, double& v)
{
    if (token.empty())
        return false;
    char* end = nullptr;
    v = std::strtod(token.c_str(), &end);
    return end == token.c_str() + token.size() && std::isfinite(v);
}

} // namespace

std::vector<std::string> loadAxisNames(int outputs)
{
    if (outputs == 6)
        return {"Fx", "Fy", "Fz", "Tx", "Ty", "Tz"};
    return {"x", "y", "z"};
}

CalibrationFit fitCalibration(const std::vector<std::vector<double>>& readings,
                              const std::vector<std::vector<double>>& loads, const std::vector<std::string>& inputNames)
{
    CalibrationFit f;
    f.steps = static_cast<int>(std::min(readings.size(), loads.size()));
    f.inputs = readings.empty() ? 0 : static_cast<int>(readings[0].size());
    f.outputs = loads.empty() ? 0 : static_cast<int>(loads[0].size());
    if (readings.size() != loads.size() || f.steps == 0 || f.inputs == 0 || (f.outputs != 3 && f.outputs != 6)) {
        f.reason = "no steps to fit";
        return f;
    }
    const Eigen::Index n = f.steps, k = f.inputs, m = f.outputs;
    MatrixXd S(n, k), L(n, m);
    for (Eigen::Index r = 0; r < n; ++r) {
        if (static_cast<Eigen::Index>(readings[static_cast<size_t>(r)].size()) != k ||
            static_cast<Eigen::Index>(loads[static_cast<size_t>(r)].size()) != m) {
            f.reason = "step " + std::to_string(r + 1) + " has another number of readings or load components";
            return f;
        }
        for (Eigen::Index c = 0; c < k; ++c)
            S(r, c) = readings[static_cast<size_t>(r)][static_cast<size_t>(c)];
        for (Eigen::Index c = 0; c < m; ++c)
            L(r, c) = loads[static_cast<size_t>(r)][static_cast<size_t>(c)];
    }
    const std::vector<std::string> axes = loadAxisNames(f.outputs);
    const std::string gaps = missingDirections(L, axes, f.missing);
    if (n < k + 1) {
        f.reason = std::to_string(n) + " step" + (n == 1 ? "" : "s") + " cannot determine a " + std::to_string(m) +
                   " x " + std::to_string(k) + " matrix and its bias: at least " + std::to_string(k + 1) +
                   " loads are needed" + (gaps.empty() ? "" : "; and " + gaps);
        return f;
    }
    if (!gaps.empty()) {
        f.reason = gaps;
        return f;
    }

    VectorXd mean, scale;
    std::vector<Eigen::Index> stillColumns;
    const MatrixXd A = scaledDesign(S, mean, scale, stillColumns);
    std::vector<std::string> still;
    for (Eigen::Index c : stillColumns)
        still.push_back(c < static_cast<Eigen::Index>(inputNames.size()) ? inputNames[static_cast<size_t>(c)]
                                                                         : "input " + std::to_string(c + 1));
    Eigen::JacobiSVD<MatrixXd> svd(A, Eigen::ComputeThinU | Eigen::ComputeThinV);
    svd.setThreshold(kRankTolerance);
    const VectorXd sv = svd.singularValues();
    f.rank = static_cast<int>(svd.rank());
    f.condition = sv(sv.size() - 1) > kRankTolerance * sv(0) ? sv(0) / sv(sv.size() - 1)
                                                             : std::numeric_limits<double>::infinity();
    if (f.rank < m + 1) {
        f.reason = "the readings vary in only " + std::to_string(f.rank - 1) + " independent direction" +
                   (f.rank == 2 ? "" : "s") + " while the loads vary in " + std::to_string(m) +
                   ": they do not follow every load axis" +
                   (still.empty() ? std::string() : " (" + joinNames(still) + " never changed)");
        return f;
    }
    if (f.rank < k + 1)
        f.note = "the readings vary in " + std::to_string(f.rank - 1) + " independent directions for " +
                 std::to_string(k) + " inputs: the matrix is the least-norm fit";

    // A X = L in the scaled coordinates; back to counts: load = C s + b.
    const MatrixXd X = svd.solve(L);  // (k + 1) x m
    MatrixXd C(m, k);
    for (Eigen::Index c = 0; c < k; ++c)
        C.col(c) = X.row(c).transpose() / scale(c);
    const VectorXd b = X.row(k).transpose() / std::sqrt(static_cast<double>(n)) - C * mean;

    const MatrixXd residual = (S * C.transpose()).rowwise() + b.transpose() - L;
    for (Eigen::Index j = 0; j < m; ++j) {
        f.residualRms.push_back(std::sqrt(residual.col(j).squaredNorm() / static_cast<double>(n)));
        f.residualMax.push_back(residual.col(j).cwiseAbs().maxCoeff());
        f.bias.push_back(b(j));
        for (Eigen::Index c = 0; c < k; ++c)
            f.matrix.push_back(C(j, c));
    }
    f.ok = true;
    return f;
}

namespace {

constexpr double kPound = 0.45359237;        // kg, exactly
constexpr double kPoundForce = 4.4482216152605;  // N, exactly (kPound * kGravity)

// The blank- or comma-separated words of a load, a number and the unit
// written against it split in two ("2kg" is "2" and "kg").
std::vector<std::string> loadWords(const std::string& text)
{
    std::vector<std::string> words;
    std::string word;
    auto flush = [&] {
        if (word.empty())
            return;
        char* end = nullptr;
        std::strtod(word.c_str(), &end);
        const size_t number = static_cast<size_t>(end - word.c_str());
        if (number > 0 && number < word.size() && std::isalpha(static_cast<unsigned char>(word[number]))) {
            words.push_back(word.substr(0, number));
            words.push_back(word.substr(number));
        } else {
            words.push_back(word);
        }
        word.clear();
    };
    for (char ch : text) {
        if (ch == ' ' || ch == '\t' || ch == ',' || ch == '\r')
            flush();
        else
            word += ch;
    }
    flush();
    return words;
}

// N per unit of a force, or kg per unit of a mass; 0 when it is neither.
double forceUnit(const std::string& u)
{
    return u == "N" ? 1.0 : u == "lbf" ? kPoundForce : 0.0;
}

double massUnit(const std::string& u)
{
    return u == "kg" ? 1.0 : u == "g" ? 0.001 : u == "lb" ? kPound : 0.0;
}

std::string syntax(int outputs)
{
    return std::string("a load is FX FY FZ in N (or followed by lbf)") +
           (outputs == 6 ? ", FX FY FZ TX TY TZ in N and N*m," : ",") +
           " a mass and the axis it pulls along (2.5 kg -z; g, lb), or a force along an axis (20 N -z; lbf)";
}

} // namespace

bool parseLoad(const std::string& text, int outputs, std::vector<double>& load, std::string& error)
{
    const std::vector<std::string> tokens = loadWords(text);
    if (tokens.empty()) {
        error = "no load given";
        return false;
    }
    const bool along = tokens.size() >= 2 && (massUnit(tokens[1]) > 0 || forceUnit(tokens[1]) > 0);
    std::vector<double> result;
    if (!along) {
        // FX FY FZ [N | lbf], or six numbers.
        std::vector<std::string> numbers = tokens;
        double factor = 1.0;
        if (numbers.size() == 4 && forceUnit(numbers[3]) > 0) {
            factor = forceUnit(numbers[3]);
            numbers.pop_back();
        }
        for (const std::string& t : numbers) {
            double x = 0;
            if (!parseNumber(t, x)) {
                error = "\"" + t + "\" is not a finite number: " + syntax(outputs);
                return false;
            }
            result.push_back(x * factor);
        }
        if (result.size() != 3 && !(outputs == 6 && result.size() == 6 && factor == 1.0)) {
            error = std::to_string(result.size()) + " numbers: " + syntax(outputs);
            return false;
        }
        result.resize(static_cast<size_t>(outputs), 0.0);
    } else {
        double m = 0;
        if (!parseNumber(tokens[0], m) || m <= 0) {
            error = "\"" + tokens[0] + "\" is not a finite number above 0";
            return false;
        }
        const double newtons = massUnit(tokens[1]) > 0 ? m * massUnit(tokens[1]) * kGravity : m * forceUnit(tokens[1]);
        const std::string dir = tokens.size() > 2 ? tokens[2] : std::string();
        const bool signedDir = dir.size() == 2 && (dir[0] == '-' || dir[0] == '+');
        const char axis = signedDir ? dir[1] : dir.size() == 1 ? dir[0] : '\0';
        if (axis != 'x' && axis != 'y' && axis != 'z') {
            error = "a " + std::string(massUnit(tokens[1]) > 0 ? "mass" : "force") +
                    " needs a direction: x, y or z with an optional sign, as in \"" + tokens[0] + " " + tokens[1] +
                    " -z\"";
            return false;
        }
        double force[3] = {0, 0, 0};
        force[axis - 'x'] = (dir[0] == '-' ? -1 : 1) * newtons;
        double arm[3] = {0, 0, 0};
        if (tokens.size() > 3) {
            if (tokens[3] != "at" || tokens.size() != 7 || !parseNumber(tokens[4], arm[0]) ||
                !parseNumber(tokens[5], arm[1]) || !parseNumber(tokens[6], arm[2])) {
                error = "after the direction only \"at X,Y,Z\" may follow (the point where the load acts, in m)";
                return false;
            }
            if (outputs != 6) {
                error = "\"at X,Y,Z\" makes a torque, which a three-axis channel does not measure";
                return false;
            }
        }
        result.assign(static_cast<size_t>(outputs), 0.0);
        for (int i = 0; i < 3; ++i)
            result[static_cast<size_t>(i)] = force[i];
        if (outputs == 6) {
            result[3] = arm[1] * force[2] - arm[2] * force[1];
            result[4] = arm[2] * force[0] - arm[0] * force[2];
            result[5] = arm[0] * force[1] - arm[1] * force[0];
        }
    }
    for (double v : result)
        if (!std::isfinite(v)) {
            error = "the load is too large to compute";
            return false;
        }
    load = result;
    return true;
}

double averageUncertainty(const std::vector<double>& samples)
{
    const size_t n = samples.size();
    double var = 0;
    if (n >= 2) {
        double mean = 0;
        for (double v : samples)
            mean += v;
        mean /= static_cast<double>(n);
        double ss = 0;
        for (double v : samples)
            ss += (v - mean) * (v - mean);
        // As if the samples were independent ...
        var = ss / static_cast<double>(n - 1) / static_cast<double>(n);
        // ... or from the means of ten consecutive batches, which holds when
        // neighbouring samples are alike (a filter, a slow drift).
        const size_t batches = 10;
        if (n >= 2 * batches) {
            std::vector<double> means(batches, 0.0);
            for (size_t b = 0; b < batches; ++b) {
                const size_t from = b * n / batches, to = (b + 1) * n / batches;
                for (size_t i = from; i < to; ++i)
                    means[b] += samples[i];
                means[b] /= static_cast<double>(to - from);
            }
            double bm = 0, bss = 0;
            for (double v : means)
                bm += v;
            bm /= batches;
            for (double v : means)
                bss += (v - bm) * (v - bm);
            var = std::max(var, bss / (batches - 1) / batches);
        }
    }
    // Never below the rounding of a count.
    return std::sqrt(std::max(var, 1.0 / 12));
}

namespace {

// One pass of the check over the steps in `in`: each one's residual and its
// expected size, and the fit they make.
struct Pass {
    CalibrationFit fit;
    int rank = 0;
    std::vector<StepCheck> steps;  // as in
    // The reading noise through the matrix, at its largest, as a share of
    // the loads' size on that axis; and the axis.
    double noiseShare = 0;
    int noiseAxis = 0;
    bool sound() const { return fit.ok && noiseShare <= kNoiseShare; }
    bool agree() const
    {
        return sound() && std::all_of(steps.begin(), steps.end(),
                                      [](const StepCheck& c) { return c.ratio <= kResidualBound; });
    }
};

Pass checkPass(const std::vector<std::vector<double>>& readings, const std::vector<std::vector<double>>& loads,
               const std::vector<std::vector<double>>& noise, const std::vector<int>& in, double arm)
{
    Pass p;
    std::vector<std::vector<double>> r, l;
    for (int i : in) {
        r.push_back(readings[static_cast<size_t>(i)]);
        l.push_back(loads[static_cast<size_t>(i)]);
    }
    p.fit = fitCalibration(r, l);
    if (!p.fit.ok)
        return p;
    const Eigen::Index n = static_cast<Eigen::Index>(in.size()), k = p.fit.inputs, m = p.fit.outputs;
    MatrixXd S(n, k);
    for (Eigen::Index i = 0; i < n; ++i)
        for (Eigen::Index c = 0; c < k; ++c)
            S(i, c) = r[static_cast<size_t>(i)][static_cast<size_t>(c)];
    VectorXd mean, scale;
    std::vector<Eigen::Index> still;
    const MatrixXd A = scaledDesign(S, mean, scale, still);
    Eigen::JacobiSVD<MatrixXd> svd(A, Eigen::ComputeThinU);
    svd.setThreshold(kRankTolerance);
    p.rank = static_cast<int>(svd.rank());
    const MatrixXd U = svd.matrixU().leftCols(p.rank);
    const MatrixXd IH = MatrixXd::Identity(n, n) - U * U.transpose();  // residual = IH * error

    // What each step's load is known to, per axis (variance): the reading
    // noise through the matrix, and the load's own precision.
    MatrixXd w(n, m), e(n, m), size(n, m);
    VectorXd largest = VectorXd::Zero(m);
    for (Eigen::Index i = 0; i < n; ++i) {
        const std::vector<double>& load = l[static_cast<size_t>(i)];
        const double force = std::sqrt(load[0] * load[0] + load[1] * load[1] + load[2] * load[2]);
        const double torque = m == 6 ? std::sqrt(load[3] * load[3] + load[4] * load[4] + load[5] * load[5]) : 0.0;
        for (Eigen::Index j = 0; j < m; ++j) {
            e(i, j) = 0;
            for (Eigen::Index c = 0; c < k; ++c) {
                const double g = p.fit.matrix[static_cast<size_t>(j * k + c)] *
                                 noise[static_cast<size_t>(in[static_cast<size_t>(i)])][static_cast<size_t>(c)];
                e(i, j) += g * g;
            }
            size(i, j) = j < 3 ? force : std::hypot(torque, arm * force);
            largest(j) = std::max(largest(j), size(i, j));
            w(i, j) = e(i, j) + (kLoadPrecision * size(i, j)) * (kLoadPrecision * size(i, j));
        }
    }
    for (Eigen::Index i = 0; i < n; ++i)
        for (Eigen::Index j = 0; j < m; ++j) {
            const double share = largest(j) > 0 ? std::sqrt(e(i, j)) / largest(j) : 0.0;
            if (share > p.noiseShare) {
                p.noiseShare = share;
                p.noiseAxis = static_cast<int>(j);
            }
        }
    for (Eigen::Index i = 0; i < n; ++i) {
        StepCheck c;
        c.leverage = 1 - IH(i, i);
        c.checkable = IH(i, i) > 1e-6;
        for (Eigen::Index j = 0; j < m; ++j) {
            double fitted = p.fit.bias[static_cast<size_t>(j)];
            for (Eigen::Index q = 0; q < k; ++q)
                fitted += p.fit.matrix[static_cast<size_t>(j * k + q)] * S(i, q);
            const double res = fitted - l[static_cast<size_t>(i)][static_cast<size_t>(j)];
            const double expected = std::sqrt(IH.row(i).array().square().matrix().dot(w.col(j)));
            c.residual.push_back(res);
            c.expected.push_back(expected);
            if (!c.checkable)
                continue;
            const double ratio = expected > 0 ? std::abs(res) / expected
                                              : res == 0 ? 0 : std::numeric_limits<double>::infinity();
            if (ratio > c.ratio) {
                c.ratio = ratio;
                c.axis = static_cast<int>(j);
            }
        }
        p.steps.push_back(c);
    }
    return p;
}

} // namespace

StepConsistency checkSteps(const std::vector<std::vector<double>>& readings,
                           const std::vector<std::vector<double>>& loads, const std::vector<std::vector<double>>& noise)
{
    StepConsistency out;
    const int n = static_cast<int>(std::min(readings.size(), loads.size()));
    if (n == 0 || noise.size() != static_cast<size_t>(n))
        return out;
    for (const auto& v : noise)
        if (v.size() != readings[0].size())
            return out;
    // A lever arm that puts the torques' precision on the forces' scale.
    double maxForce = 0, maxTorque = 0;
    for (const auto& l : loads) {
        maxForce = std::max(maxForce, std::sqrt(l[0] * l[0] + l[1] * l[1] + l[2] * l[2]));
        if (l.size() == 6)
            maxTorque = std::max(maxTorque, std::sqrt(l[3] * l[3] + l[4] * l[4] + l[5] * l[5]));
    }
    const double arm = maxForce > 0 ? maxTorque / maxForce : 0.0;

    std::vector<int> all(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        all[static_cast<size_t>(i)] = i;
    const Pass pass = checkPass(readings, loads, noise, all, arm);
    if (!pass.fit.ok)
        return out;
    out.checked = true;
    out.spare = n - pass.rank;
    out.steps = pass.steps;
    if (!pass.sound()) {
        // The matrix makes loads of the reading noise: the readings barely
        // followed the loads along some axis.
        out.noiseAxis = pass.noiseAxis;
        out.noiseShare = pass.noiseShare;
        return out;
    }
    if (pass.agree())
        return out;

    // The steps disagree. Which steps, taken out, leave the rest agreeing
    // with a step to spare (so that their agreement is seen)? One step, or
    // else two; named only when one set of them does.
    std::vector<std::vector<int>> found;
    Pass kept;
    auto tryWithout = [&](const std::vector<int>& without) {
        std::vector<int> keep;
        for (int i = 0; i < n; ++i)
            if (std::find(without.begin(), without.end(), i) == without.end())
                keep.push_back(i);
        Pass rest = checkPass(readings, loads, noise, keep, arm);
        if (rest.agree() && rest.rank == pass.rank && static_cast<int>(keep.size()) - rest.rank >= 1) {
            found.push_back(without);
            kept = std::move(rest);
        }
    };
    for (int size = 1; size <= 2 && found.empty() && n - size - pass.rank >= 1; ++size)
        for (int a = 0; a < n; ++a) {
            if (size == 1)
                tryWithout({a});
            else
                for (int b = a + 1; b < n; ++b)
                    tryWithout({a, b});
        }
    if (found.size() == 1) {
        out.disagreeing = found.front();
        // What the steps that agree make of the others' readings.
        for (int i : out.disagreeing) {
            const std::vector<double>& s = readings[static_cast<size_t>(i)];
            std::vector<double> read(static_cast<size_t>(kept.fit.outputs));
            for (int j = 0; j < kept.fit.outputs; ++j) {
                read[static_cast<size_t>(j)] = kept.fit.bias[static_cast<size_t>(j)];
                for (int c = 0; c < kept.fit.inputs; ++c)
                    read[static_cast<size_t>(j)] +=
                        kept.fit.matrix[static_cast<size_t>(j * kept.fit.inputs + c)] * s[static_cast<size_t>(c)];
            }
            out.othersRead.push_back(read);
        }
    } else if (found.size() > 1) {
        out.alternatives = found;
    } else {
        for (int i = 0; i < n; ++i)
            if (pass.steps[static_cast<size_t>(i)].ratio > kResidualBound)
                out.unlocated.push_back(i);
    }
    return out;
}

} // namespace brovatools
