// The true calibration of a simulated sensor: how the physical load on it
// becomes the counts it sends, with the cross-talk and the zero-load reading
// a real one has. A host fits the inverse (counts to N and N*m); this is the
// truth to compare it with.
//
//   three-axis channel c:  (x, y, z) = G_c F + b_c
//       F in N, G_c 3 x 3 in counts per N, b_c the counts at zero load;
//   six-axis sensor:       (Fx, Fy, Fz, Tx, Ty, Tz) = G W + b
//       W = (Fx, Fy, Fz in N, Tx, Ty, Tz in N*m), G 6 x 6 in counts per N
//       (first three columns) and per N*m (last three).
// The result is rounded to the nearest count, then noise (setNoise) is added,
// then every value is clamped to its field: x, y and Fx, Fy, Tx, Ty, Tz to
// -32768..32767; z (and Fz) to -32768..32767 where the host reads it signed
// (framed kinds in vector mode; Fz of the six-axis stream kind) and to
// 0..65535 where it reads it unsigned. The element readings follow from
// (x, y, z) as elementReadings() says, each clamped to 0..65535.
//
// A calibration made from a seed (makeCalibration) has diagonal gains of
// 100 counts per N (+-10 %) and 2000 counts per N*m (+-10 %), cross-talk of up
// to 3 % (an off-diagonal G[i][j] within 0.03 sqrt(G[i][i] G[j][j])), x, y
// and torque biases within +-300 counts and z and Fz biases of 16000 +- 500
// counts, so that z has room both ways in either representation. Every force
// whose components lie within +-75 N, and torques within +-5 N*m, then fit
// every field and every element reading in every mode.
//
// Calibration file (brova-sim --gain-matrix, --print-calibration): plain text,
// numbers and keywords separated by white space (line breaks do not matter),
// '#' starts a comment running to the end of the line:
//
//   # brova-sim calibration
//   channel 0
//   gain   100.0   2.0  -1.5      # 9 numbers, row by row: counts per N
//            1.2  98.0   0.8
//           -0.5   1.0 101.0
//   bias   150  -80  16000        # 3 numbers: counts at zero load
//   six-axis
//   gain   ...                    # 36 numbers, row by row
//   bias   ...                    # 6 numbers
//
// A block starts with "channel C" (C from 0 to the kind's channel count - 1;
// a six-axis kind's channels are its sensing units) or "six-axis" (six-axis
// kinds only) and must hold one "gain" and one "bias". Blocks the file does
// not give keep the calibration made from the seed. "inverse" (9 or 36
// numbers: N or N*m per count) and "offset" (3 or 6 numbers: the load in N
// and N*m that reads as zero counts), which --print-calibration writes for
// comparison with a fitted calibration, are read and ignored. A gain matrix
// must be invertible. Errors name the line.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace brvsim {

// A force on a three-axis channel, in N.
struct Force3 {
    double fx = 0, fy = 0, fz = 0;
};
// A force (N) and torque (N*m) on a six-axis sensor.
struct Wrench {
    double Fx = 0, Fy = 0, Fz = 0, Tx = 0, Ty = 0, Tz = 0;
};

struct Gain3 {
    std::array<std::array<double, 3>, 3> gain{};  // counts per N, [row][column]
    std::array<double, 3> bias{};                 // counts at zero load
};
struct Gain6 {
    std::array<std::array<double, 6>, 6> gain{};  // counts per N and per N*m, [row][column]
    std::array<double, 6> bias{};
};
struct Calibration {
    std::array<Gain3, 4> channel{};  // three-axis channels (units of a six-axis kind)
    Gain6 sixAxis{};
};

// Reproducible from the seed alone (std::mt19937, no library distributions).
Calibration makeCalibration(std::uint32_t seed);

// The counts before rounding and clamping: G F + b.
std::array<double, 3> countsFor(const Gain3& g, const Force3& f);
std::array<double, 6> countsFor(const Gain6& g, const Wrench& w);

// The inverse of an n x n matrix (row by row), n = 3 or 6; false when it is
// singular or too close to it (a pivot below 1e-9 of the largest entry).
bool invertMatrix(const double* a, double* inverse, int n);

// Reads a calibration file's text for a device of this kind into `cal`,
// replacing the blocks the text gives. False, with `error` saying what and
// on which line, and `cal` unchanged, when the text is not a valid file.
bool parseCalibration(const std::string& text, int kind, Calibration& cal, std::string& error);
// The calibration of a device of this kind as a file (the channels it has,
// the six-axis block for a six-axis kind), with "inverse" and "offset" for
// each block. parseCalibration reads it back to the same numbers.
std::string formatCalibration(const Calibration& cal, int kind);

}  // namespace brvsim
