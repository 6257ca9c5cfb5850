// The fit behind `brova calibrate`: from known loads and the readings they
// gave, the matrix and bias that map readings (counts) to loads (N, N*m), and
// how well the loads determine them. Also the load a user types for a step.
// Plain C++ (Eigen inside): the benchmark uses it as the tool does.
#pragma once

#include <string>
#include <vector>

namespace brovatools {

// Standard gravity, m/s^2: a mass of m kg weighs m * kGravity N.
constexpr double kGravity = 9.80665;

struct CalibrationFit {
    bool ok = false;
    std::string reason;  // why the loads cannot determine the matrix (ok false)
    // The load axes that no step varies, by name ("y", "Tz"); empty when the
    // loads span every direction (or when they miss a combination of axes
    // only: reason says which).
    std::vector<std::string> missing;
    int outputs = 0;  // 3 (a force) or 6 (force and torque)
    int inputs = 0;   // k
    int steps = 0;
    std::vector<double> matrix;  // outputs x inputs, row by row: load per count
    std::vector<double> bias;    // outputs
    // Per output axis, over the steps: RMS and largest absolute value of
    // matrix * reading + bias - load, in N (N*m).
    std::vector<double> residualRms, residualMax;
    // Of the stacked readings [s 1], each input centred and scaled to unit
    // norm (the constant column too): 1 for readings that vary independently
    // and equally, large when some combination barely varies. Infinite when
    // rank < inputs + 1.
    double condition = 0;
    int rank = 0;  // of that matrix, at most inputs + 1
    // Set when the readings vary in fewer directions than there are inputs
    // but in enough to map every load axis (rank from outputs + 1 up to
    // inputs): the matrix is the least-norm one.
    std::string note;
};

// How far a step's load is from what the fit makes of its reading, against
// what the reading noise and the load's own precision explain.
struct StepCheck {
    std::vector<double> residual;  // per output axis: fit - load, N (N*m)
    // The residual's expected size (one standard deviation): the noise of the
    // step's averaged reading through the matrix, and a load precision of
    // kLoadPrecision, each spread over the steps as the fit spreads it.
    std::vector<double> expected;
    double ratio = 0;  // the largest |residual| / expected over the axes
    int axis = 0;      // the axis of that largest ratio
    double leverage = 0;  // how much the step alone sets the fit (0 ... 1)
    // False when the step alone sets some direction of the fit (leverage 1):
    // its residual is 0 whatever its load, and a mistake in it cannot be seen.
    bool checkable = true;
};

// Whether the steps of a fit agree with each other.
struct StepConsistency {
    bool checked = false;  // false: the steps cannot be fitted, or no noise was given
    // Steps beyond what the fit needs (steps - rank): 0, no mistake in a load
    // can be seen; 1, a mistake is seen but not where.
    int spare = 0;
    std::vector<StepCheck> steps;  // every step, over the whole set
    // The step (or two) that disagree with the others: taken out, the rest
    // agree within the bound, with a step to spare; no other step (or pair)
    // does that. Indices into the steps.
    std::vector<int> disagreeing;
    // What the agreeing steps make of each disagreeing step's reading: the
    // load it was, by the others (as many as disagreeing).
    std::vector<std::vector<double>> othersRead;
    // When several steps (or pairs) would each explain the disagreement
    // (loads along one axis given in two steps only, +x and -x): each of
    // them. Which is wrong cannot be told.
    std::vector<std::vector<int>> alternatives;
    // When no step or pair explains it (too few steps to spare, or more
    // mistakes): the steps beyond the bound.
    std::vector<int> unlocated;
    // When the readings barely follow the loads: the output axis on which
    // the reading noise, through the fitted matrix, stands for more than
    // kNoiseShare of the largest load (-1: none), and that share. Loads not
    // applied along an axis at all give this.
    int noiseAxis = -1;
    double noiseShare = 0;
    bool agree() const
    {
        return noiseAxis < 0 && disagreeing.empty() && alternatives.empty() && unlocated.empty();
    }
};

// The load precision assumed of every step: 1 % of its force (of its torque,
// and of its force times the set's typical lever arm, for a torque axis). A
// mass's own tolerance, the local gravity, a load hung a degree off its
// axis (1.7 % across it) are of that order; the reading noise is measured.
constexpr double kLoadPrecision = 0.01;
// A step disagrees when its residual is more than this many times what the
// noise and the load precision explain: far beyond chance (a normal
// deviate beyond 10 has odds below 1e-23), far beyond a load hung a few
// degrees askew, and far below the residual of a load typed with the wrong
// sign, 10 times too small or not applied (tens of percent of the load,
// thousands of times the noise).
constexpr double kResidualBound = 10;

// A fit whose matrix turns the reading noise into more than this share of
// the largest load is no calibration: the readings barely followed the loads
// (a sensor resolves its loads to far better than 10 %; a load that was never
// applied along an axis leaves only noise there).
constexpr double kNoiseShare = 0.1;

// The standard deviation of the average of samples (one input's values
// while a step's reading was steady): the larger of the spread of the
// samples over their number and the spread of the means of ten consecutive
// batches (which holds for filtered, correlated samples), and never below
// the rounding of a count (sqrt(1/12)).
double averageUncertainty(const std::vector<double>& samples);

// Checks the steps of a fit against each other: readings and loads as
// fitCalibration takes them, noise the averageUncertainty of each step's
// inputs (counts). A step (or a pair) is named as disagreeing only when it
// alone, taken out, leaves the rest agreeing with at least one step to
// spare.
StepConsistency checkSteps(const std::vector<std::vector<double>>& readings,
                           const std::vector<std::vector<double>>& loads, const std::vector<std::vector<double>>& noise);

// The names of the load axes: x, y, z for 3 outputs; Fx, Fy, Fz, Tx, Ty, Tz for 6.
std::vector<std::string> loadAxisNames(int outputs);

// Fits load = matrix * reading + bias by least squares (singular value
// decomposition of the scaled readings). readings: one vector of k inputs per
// step; loads: one vector of 3 or 6 per step. Refused (ok false, reason set,
// nothing fitted) when there are fewer than k + 1 steps, when the loads leave
// a direction unvaried (named in missing / reason), or when the readings do
// not vary in at least outputs + 1 directions. inputNames name the inputs in
// messages (optional).
CalibrationFit fitCalibration(const std::vector<std::vector<double>>& readings,
                              const std::vector<std::vector<double>>& loads,
                              const std::vector<std::string>& inputNames = {});

// One step's load as a user writes it, for a fit of `outputs` (3 or 6) axes:
//   "FX FY FZ" in N, or followed by "lbf" in pounds-force (commas or blanks
//   between the numbers); for 6 outputs also "FX FY FZ TX TY TZ" in N and
//   N*m (three numbers: no torque);
//   "M UNIT DIR": a mass in kg, g or lb hung along DIR (x, y, z with an
//   optional sign, e.g. -z), F = M * kGravity along DIR, or a force in N or
//   lbf along DIR; the unit may be written against the number ("2kg -z");
//   for 6 outputs optionally followed by "at X,Y,Z" (m), the point where the
//   load acts: T = r x F.
// 1 lb = 0.45359237 kg and 1 lbf = 4.4482216152605 N, exactly. Numbers must
// be finite, and so must the load. On success true and load holds `outputs`
// numbers; otherwise false and error says what is wrong.
bool parseLoad(const std::string& text, int outputs, std::vector<double>& load, std::string& error);

} // namespace brovatools
