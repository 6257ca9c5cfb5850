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
//   "FX FY FZ" in N (commas or blanks between the numbers); for 6 outputs also
//   "FX FY FZ TX TY TZ" in N and N*m (three numbers: no torque);
//   "M kg DIR" or "M g DIR": a mass hung along DIR (x, y, z with an optional
//   sign, e.g. -z), F = M * kGravity along DIR; for 6 outputs optionally
//   followed by "at X,Y,Z" (m), the point where the mass acts: T = r x F.
// On success true and load holds `outputs` numbers; otherwise false and error
// says what is wrong.
bool parseLoad(const std::string& text, int outputs, std::vector<double>& load, std::string& error);

} // namespace brovatools
