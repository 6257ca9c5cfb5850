// BrovaCalibration's private data and the checks it is built on. Internal to
// the library (hidden symbols); the white-box tests reach it through the
// static archive.
//
// The unit's code is split by subject:
//   brovacalibration.cpp        the facade: load and save, identity, setters
//   brovacalibration_file.cpp   the file format and its checks, reading and
//                               writing the JSON form
//   brovacalibration_apply.cpp  the arithmetic of applying it
#pragma once

#include <QJsonObject>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace brova {
namespace calibration {

constexpr int kFormatVersion = 1;
constexpr int kChannels = 16;       // channel indices 0 ... 15
constexpr int kMaxChannelInputs = 11;  // x, y, z, s1 ... s8
constexpr int kMaxSixAxisInputs = 50;  // Fx ... Tz and four times the above

// What a force sensor's calibration can mean, in N, N*m and m: no sensor
// resolves a step of a meganewton (or meganewton-metre) per count, reads a
// giganewton at zero load, or has its tool point a kilometre away. Within
// these bounds, any input at its int32 extreme (2^31 counts) and at most 50
// inputs give results below 1.1e17 N (N*m), and torques moved to the tool
// point below 2.2e20 N*m: finite by a wide margin.
constexpr double kMaxPerCount = 1e6;
constexpr double kMaxBias = 1e9;
constexpr double kMaxTranslation = 1000;
// The largest file load reads.
constexpr long long kMaxFileBytes = 16 * 1024 * 1024;

// One matrix C (rows x k, N or N*m per count) and bias b over k named inputs,
// with what applying it needs precomputed.
struct Block {
    bool present = false;
    int rows = 0;                    // 3 (a channel) or 6 (six-axis)
    std::vector<std::string> names;  // k input names as given
    std::vector<double> matrix;      // rows x k, row by row
    std::vector<double> bias;        // rows
    // Accessors, one per input: the byte offset of the int32 field in the
    // record the input is read from. For a channel: in BrovaPackage. For
    // six-axis: in BrovaPackage6D (offset), and for the four-channel path the
    // unit (1 ... 4 for sensorN, 0 for Fx ... Tz) and the offset in that
    // unit's BrovaPackage (subOffset).
    std::vector<uint32_t> offset;
    std::vector<uint8_t> unit;
    std::vector<uint32_t> subOffset;
    std::vector<double> columns;  // the matrix column by column: columns[j * rows + r]
    bool componentInputs = false;  // some input is Fx ... Tz (six-axis sample only)
    // The rated range of each output (rows numbers, N or N*m, each > 0), or
    // empty when the file gives none.
    std::vector<double> range;
    // range[r] * (1 + the margin), what |output r| may reach before it is
    // flagged; empty with range.
    std::vector<double> rangeLimit;
};

struct Data {
    std::string name = "calibration";  // the file in messages
    std::string error;
    std::string sha256;  // of the bytes loaded, hex; empty when built in code
    bool hasIdentity = false;
    int kind = 0;
    std::string identification, serial, date;
    std::array<Block, kChannels> channels;
    Block sixAxis;
    bool hasTool = false;
    double translation[3] = {0, 0, 0};          // m
    double rotation[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};  // row by row
    double rotationT[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};  // its transpose
    bool hasProvenance = false;
    QJsonObject provenance;
};

// Whether kind is a device kind a file may name (31, 34, 64, 68, 94, 95).
bool knownKind(int kind);
// Byte offset of a three-axis input (x, y, z, s1 ... s8) in BrovaPackage, or
// -1.
int channelInputOffset(const std::string& name);
// For a six-axis input: the byte offset in BrovaPackage6D, the unit (0 for Fx
// ... Tz, N for sensorN.*) and the offset in that unit's BrovaPackage; false
// for a name that is none.
bool sixAxisInput(const std::string& name, int& offset, int& unit, int& subOffset);

// Whether the rows x k matrix (row by row) is of full rank min(rows, k):
// columns scaled to a largest magnitude of 1, the rows (or, when k < rows, the
// columns) scaled to unit length, their Gram determinant above 1e-12.
bool fullRank(const double* matrix, int rows, int k);
// What is wrong with a tool translation component (in m): not finite, or
// beyond kMaxTranslation; empty when it is fine.
std::string translationError(double metres);
// Whether a 3 x 3 matrix (row by row) is a rotation: R R^T = I within 1e-6 in
// every element and determinant positive. why says what is wrong otherwise.
bool isRotation(const double (&r)[9], std::string& why);
// The rotation of roll, pitch and yaw in degrees: Rz(yaw) Ry(pitch) Rx(roll),
// exact at multiples of 90 degrees.
void rotationFromRpy(double roll, double pitch, double yaw, double (&r)[9]);

// Unit factors to N, N*m and m; 0 for a name that is none.
double forceFactor(const std::string& unit);
double torqueFactor(const std::string& unit);
double lengthFactor(const std::string& unit);

// The accessors of the inputs (a channel's for rows 3, six-axis for rows 6)
// into block, which holds nothing else yet; on a bad or repeated name false,
// with field "inputs[j]" (or "inputs") and why.
bool checkInputs(int rows, const std::vector<std::string>& names, Block& block, std::string& field,
                 std::string& why);
// Fills a block from names, matrix (rows x names.size(), row by row) and
// bias. On a fault: false, field is the part at fault ("inputs[2]",
// "matrix", "matrix[1][0]", "bias") and why what is wrong; block untouched.
bool makeBlock(int rows, const std::vector<std::string>& names, const std::vector<double>& matrix,
               const std::vector<double>& bias, Block& block, std::string& field, std::string& why);

// Checks a block's rated ranges (rows numbers in N and N*m, each positive,
// finite and at most kMaxBias) and stores them (an empty list removes them).
// On a fault: false, field is "range" or "range[r]" and why what is wrong;
// block untouched.
bool setRange(int rows, const std::vector<double>& range, Block& block, std::string& field, std::string& why);

// What makes the whole inconsistent (kind against sixAxis, a tool without
// sixAxis, nothing calibrated): "field: why", or empty when it is whole.
std::string wholeError(const Data& d);
// The kind against sixAxis, when both are known: "field: why", or empty.
std::string conflictError(const Data& d);

// The bytes of a calibration file: a regular file (or a link to one) of at
// most kMaxFileBytes, opened without blocking; anything else is refused
// before a byte is read. False with error ("path: why") otherwise.
bool readFile(const std::string& path, std::string& bytes, std::string& error);
// Reads a file's JSON text into d (fresh); false with error ("name: field:
// why") when it is not a valid calibration.
bool parseText(const std::string& text, const std::string& name, Data& d, std::string& error);
// The file of the current format for d (which must be whole).
std::string toText(const Data& d);
// s in double quotes, for messages.
std::string quoted(const std::string& s);

} // namespace calibration
} // namespace brova

class BrovaCalibration_private : public brova::calibration::Data {
};
