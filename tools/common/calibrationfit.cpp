#include "calibrationfit.h"

#include <Eigen/Dense>

#include <algorithm>
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

    // The readings, each input centred and scaled to unit norm, and a
    // constant column of unit norm: the condition number then speaks of the
    // loads' design, not of the inputs' offsets and units.
    const VectorXd mean = S.colwise().mean();
    MatrixXd A(n, k + 1);
    VectorXd scale(k);
    std::vector<std::string> still;
    for (Eigen::Index c = 0; c < k; ++c) {
        A.col(c) = S.col(c).array() - mean(c);
        const double norm = A.col(c).norm();
        const double size = std::max(S.col(c).cwiseAbs().maxCoeff(), 1.0);
        scale(c) = norm > 1e-12 * size ? norm : 1.0;
        if (norm <= 1e-12 * size) {
            A.col(c).setZero();
            still.push_back(c < static_cast<Eigen::Index>(inputNames.size()) ? inputNames[static_cast<size_t>(c)]
                                                                             : "input " + std::to_string(c + 1));
        }
        A.col(c) /= scale(c);
    }
    A.col(k).setConstant(1.0 / std::sqrt(static_cast<double>(n)));
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

bool parseLoad(const std::string& text, int outputs, std::vector<double>& load, std::string& error)
{
    std::vector<std::string> tokens;
    std::string token;
    for (char ch : text + " ") {
        if (ch == ' ' || ch == '\t' || ch == ',' || ch == '\r') {
            if (!token.empty())
                tokens.push_back(token);
            token.clear();
        } else {
            token += ch;
        }
    }
    if (tokens.empty()) {
        error = "no load given";
        return false;
    }
    const bool mass = tokens.size() >= 2 && (tokens[1] == "kg" || tokens[1] == "g");
    if (!mass) {
        std::vector<double> v;
        for (const std::string& t : tokens) {
            double x = 0;
            if (!parseNumber(t, x)) {
                error = "\"" + t + "\" is not a number (a load is " +
                        (outputs == 6 ? "FX FY FZ [TX TY TZ] in N and N*m" : "FX FY FZ in N") + ", or a mass: M kg DIR)";
                return false;
            }
            v.push_back(x);
        }
        if (v.size() != 3 && !(outputs == 6 && v.size() == 6)) {
            error = std::to_string(v.size()) + " numbers: a load is " +
                    (outputs == 6 ? "three (a force in N) or six (FX FY FZ TX TY TZ in N and N*m)"
                                  : std::string("three numbers, FX FY FZ in N"));
            return false;
        }
        v.resize(static_cast<size_t>(outputs), 0.0);
        load = v;
        return true;
    }

    double m = 0;
    if (!parseNumber(tokens[0], m) || m <= 0) {
        error = "\"" + tokens[0] + "\" is not a mass above 0";
        return false;
    }
    if (tokens[1] == "g")
        m /= 1000;
    const std::string dir = tokens.size() > 2 ? tokens[2] : std::string();
    const bool signedDir = dir.size() == 2 && (dir[0] == '-' || dir[0] == '+');
    const char axis = signedDir ? dir[1] : dir.size() == 1 ? dir[0] : '\0';
    if (axis != 'x' && axis != 'y' && axis != 'z') {
        error = "a mass needs a direction: x, y or z with an optional sign, as in \"2.5 kg -z\"";
        return false;
    }
    double force[3] = {0, 0, 0};
    force[axis - 'x'] = (dir[0] == '-' ? -1 : 1) * m * kGravity;
    double arm[3] = {0, 0, 0};
    if (tokens.size() > 3) {
        if (tokens[3] != "at" || tokens.size() != 7 || !parseNumber(tokens[4], arm[0]) ||
            !parseNumber(tokens[5], arm[1]) || !parseNumber(tokens[6], arm[2])) {
            error = "after the direction only \"at X,Y,Z\" may follow (the point where the mass acts, in m)";
            return false;
        }
        if (outputs != 6) {
            error = "\"at X,Y,Z\" makes a torque, which a three-axis channel does not measure";
            return false;
        }
    }
    load.assign(static_cast<size_t>(outputs), 0.0);
    for (int i = 0; i < 3; ++i)
        load[static_cast<size_t>(i)] = force[i];
    if (outputs == 6) {
        load[3] = arm[1] * force[2] - arm[2] * force[1];
        load[4] = arm[2] * force[0] - arm[0] * force[2];
        load[5] = arm[0] * force[1] - arm[1] * force[0];
    }
    return true;
}

} // namespace brovatools
