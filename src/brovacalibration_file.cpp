// BrovaCalibration: the file format and its checks. The units and input
// names, the checks of a block (shape, finite numbers, rank) and of the whole,
// reading a file's JSON (Qt's parser, then every field checked) and writing
// the current format.
#include "brovacalibration.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QString>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <set>

#include "brovacalibration_p.h"

namespace brova {
namespace calibration {

namespace {

struct NamedField {
    const char* name;
    std::size_t offset;
};

// The inputs of a three-axis sample, by name.
const NamedField kPackageFields[] = {
    {"x", offsetof(BrovaPackage, x)},   {"y", offsetof(BrovaPackage, y)},   {"z", offsetof(BrovaPackage, z)},
    {"s1", offsetof(BrovaPackage, s1)}, {"s2", offsetof(BrovaPackage, s2)}, {"s3", offsetof(BrovaPackage, s3)},
    {"s4", offsetof(BrovaPackage, s4)}, {"s5", offsetof(BrovaPackage, s5)}, {"s6", offsetof(BrovaPackage, s6)},
    {"s7", offsetof(BrovaPackage, s7)}, {"s8", offsetof(BrovaPackage, s8)},
};

const NamedField kSixAxisComponents[] = {
    {"Fx", offsetof(BrovaPackage6D, Fx)}, {"Fy", offsetof(BrovaPackage6D, Fy)}, {"Fz", offsetof(BrovaPackage6D, Fz)},
    {"Tx", offsetof(BrovaPackage6D, Tx)}, {"Ty", offsetof(BrovaPackage6D, Ty)}, {"Tz", offsetof(BrovaPackage6D, Tz)},
};

const std::size_t kSensorOffsets[4] = {
    offsetof(BrovaPackage6D, sensor1),
    offsetof(BrovaPackage6D, sensor2),
    offsetof(BrovaPackage6D, sensor3),
    offsetof(BrovaPackage6D, sensor4),
};

// A unit: value in the base unit = value * mul / div (decimal fractions as a
// division, so that 85 mm is 0.085 m to the last bit).
struct Unit {
    const char* name;
    double mul;
    double div;
};

constexpr double kLbf = 4.4482216152605;  // N, exactly (0.45359237 kg * 9.80665 m/s^2)
constexpr double kKgf = 9.80665;          // N, exactly
constexpr double kInch = 0.0254;          // m, exactly
constexpr double kFoot = 0.3048;          // m, exactly
constexpr double kPi = 3.14159265358979323846;

const Unit kForceUnits[] = {{"N", 1.0, 1.0}, {"kN", 1000.0, 1.0}, {"lbf", kLbf, 1.0}, {"kgf", kKgf, 1.0}};
const Unit kTorqueUnits[] = {{"N*m", 1.0, 1.0},           {"N\xC2\xB7m", 1.0, 1.0},     {"Nm", 1.0, 1.0},
                             {"N*mm", 1.0, 1000.0},       {"lbf*in", kLbf * kInch, 1.0}, {"lbf*ft", kLbf * kFoot, 1.0},
                             {"kgf*m", kKgf, 1.0}};
const Unit kLengthUnits[] = {{"m", 1.0, 1.0}, {"mm", 1.0, 1000.0}, {"in", kInch, 1.0}};

template <std::size_t N>
const Unit* unitOf(const Unit (&units)[N], const std::string& name)
{
    for (const Unit& u : units)
        if (name == u.name)
            return &u;
    return nullptr;
}

template <std::size_t N>
double factorOf(const Unit (&units)[N], const std::string& name)
{
    const Unit* u = unitOf(units, name);
    return u ? u->mul / u->div : 0.0;
}

inline double convert(double v, const Unit& u)
{
    return v * u.mul / u.div;
}

const Unit* forceUnit(const std::string& name)
{
    return unitOf(kForceUnits, name);
}

const Unit* torqueUnit(const std::string& name)
{
    return unitOf(kTorqueUnits, name);
}

const Unit* lengthUnit(const std::string& name)
{
    return unitOf(kLengthUnits, name);
}

const Unit kBaseUnit = {"", 1.0, 1.0};

std::string number(double v)
{
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, res.ptr);
}

std::string integerText(long long v)
{
    return std::to_string(v);
}

// sin and cos of an angle in degrees, exact at multiples of 90.
void sinCosDegrees(double deg, double& s, double& c)
{
    double r = std::fmod(deg, 360.0);
    if (r < 0)
        r += 360.0;
    if (r == 0.0) {
        s = 0.0;
        c = 1.0;
    } else if (r == 90.0) {
        s = 1.0;
        c = 0.0;
    } else if (r == 180.0) {
        s = 0.0;
        c = -1.0;
    } else if (r == 270.0) {
        s = -1.0;
        c = 0.0;
    } else {
        const double rad = deg * (kPi / 180.0);
        s = std::sin(rad);
        c = std::cos(rad);
    }
}

// Determinant of an n x n matrix (row by row), by elimination with partial
// pivoting; a is overwritten.
double determinant(std::vector<double>& a, int n)
{
    double det = 1.0;
    for (int col = 0; col < n; ++col) {
        int pivot = col;
        for (int r = col + 1; r < n; ++r)
            if (std::fabs(a[r * n + col]) > std::fabs(a[pivot * n + col]))
                pivot = r;
        if (a[pivot * n + col] == 0.0)
            return 0.0;
        if (pivot != col) {
            for (int c = 0; c < n; ++c)
                std::swap(a[pivot * n + c], a[col * n + c]);
            det = -det;
        }
        const double p = a[col * n + col];
        det *= p;
        for (int r = col + 1; r < n; ++r) {
            const double f = a[r * n + col] / p;
            for (int c = col; c < n; ++c)
                a[r * n + c] -= f * a[col * n + c];
        }
    }
    return det;
}

} // namespace

std::string quoted(const std::string& s)
{
    return "\"" + s + "\"";
}

bool knownKind(int kind)
{
    switch (kind) {
    case 31:
    case 34:
    case 64:
    case 68:
    case 94:
    case 95:
        return true;
    default:
        return false;
    }
}

int channelInputOffset(const std::string& name)
{
    for (const NamedField& f : kPackageFields)
        if (name == f.name)
            return static_cast<int>(f.offset);
    return -1;
}

bool sixAxisInput(const std::string& name, int& offset, int& unit, int& subOffset)
{
    for (const NamedField& f : kSixAxisComponents) {
        if (name == f.name) {
            offset = static_cast<int>(f.offset);
            unit = 0;
            subOffset = -1;
            return true;
        }
    }
    // sensorN.<field>, N = 1 ... 4
    if (name.size() < 9 || name.compare(0, 6, "sensor") != 0 || name[7] != '.')
        return false;
    const char n = name[6];
    if (n < '1' || n > '4')
        return false;
    const int sub = channelInputOffset(name.substr(8));
    if (sub < 0)
        return false;
    unit = n - '0';
    subOffset = sub;
    offset = static_cast<int>(kSensorOffsets[unit - 1]) + sub;
    return true;
}

bool fullRank(const double* matrix, int rows, int k)
{
    if (rows <= 0 || k <= 0)
        return false;
    std::vector<double> s(matrix, matrix + static_cast<std::size_t>(rows) * k);
    for (int j = 0; j < k; ++j) {
        double mx = 0.0;
        for (int r = 0; r < rows; ++r)
            mx = std::max(mx, std::fabs(s[r * k + j]));
        if (mx > 0.0)
            for (int r = 0; r < rows; ++r)
                s[r * k + j] /= mx;
    }
    // The vectors whose independence is asked: the rows, or the columns when
    // there are fewer columns than rows.
    const bool byRows = rows <= k;
    const int n = byRows ? rows : k;
    const int len = byRows ? k : rows;
    auto at = [&](int v, int i) { return byRows ? s[v * k + i] : s[i * k + v]; };
    std::vector<double> norm(n);
    for (int v = 0; v < n; ++v) {
        double sum = 0.0;
        for (int i = 0; i < len; ++i)
            sum += at(v, i) * at(v, i);
        norm[v] = std::sqrt(sum);
        if (!(norm[v] > 0.0))
            return false;
    }
    std::vector<double> gram(static_cast<std::size_t>(n) * n);
    for (int u = 0; u < n; ++u)
        for (int v = 0; v < n; ++v) {
            double sum = 0.0;
            for (int i = 0; i < len; ++i)
                sum += at(u, i) * at(v, i);
            gram[u * n + v] = sum / (norm[u] * norm[v]);
        }
    return determinant(gram, n) > 1e-12;
}

std::string translationError(double metres)
{
    if (!std::isfinite(metres))
        return "a finite number expected";
    if (std::fabs(metres) > kMaxTranslation)
        return number(metres) + " m is beyond what a tool point can mean (at most " + number(kMaxTranslation) +
               " m from the sensor)";
    return std::string();
}

bool isRotation(const double (&r)[9], std::string& why)
{
    for (double v : r)
        if (!std::isfinite(v)) {
            why = "finite numbers expected";
            return false;
        }
    double worst = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double dot = 0.0;
            for (int c = 0; c < 3; ++c)
                dot += r[i * 3 + c] * r[j * 3 + c];
            worst = std::max(worst, std::fabs(dot - (i == j ? 1.0 : 0.0)));
        }
    if (!(worst <= 1e-6)) {
        why = "not a rotation: not orthonormal within 1e-6 (R R^T differs from I by " + number(worst) + ")";
        return false;
    }
    const double det = r[0] * (r[4] * r[8] - r[5] * r[7]) - r[1] * (r[3] * r[8] - r[5] * r[6]) +
                       r[2] * (r[3] * r[7] - r[4] * r[6]);
    if (!(det > 0.0)) {
        why = "not a rotation: determinant " + number(det) + " (a reflection); +1 expected";
        return false;
    }
    return true;
}

void rotationFromRpy(double roll, double pitch, double yaw, double (&r)[9])
{
    double sr, cr, sp, cp, sy, cy;
    sinCosDegrees(roll, sr, cr);
    sinCosDegrees(pitch, sp, cp);
    sinCosDegrees(yaw, sy, cy);
    // Rz(yaw) Ry(pitch) Rx(roll)
    r[0] = cy * cp;
    r[1] = cy * sp * sr - sy * cr;
    r[2] = cy * sp * cr + sy * sr;
    r[3] = sy * cp;
    r[4] = sy * sp * sr + cy * cr;
    r[5] = sy * sp * cr - cy * sr;
    r[6] = -sp;
    r[7] = cp * sr;
    r[8] = cp * cr;
    for (double& v : r)
        if (v == 0.0)
            v = 0.0;  // no negative zeros
}

double forceFactor(const std::string& unit)
{
    return factorOf(kForceUnits, unit);
}

double torqueFactor(const std::string& unit)
{
    return factorOf(kTorqueUnits, unit);
}

double lengthFactor(const std::string& unit)
{
    return factorOf(kLengthUnits, unit);
}

bool checkInputs(int rows, const std::vector<std::string>& names, Block& block, std::string& field,
                 std::string& why)
{
    const bool six = rows == 6;
    const int k = static_cast<int>(names.size());
    if (k == 0) {
        field = "inputs";
        why = "at least one input expected";
        return false;
    }
    Block b;
    b.rows = rows;
    b.names = names;
    for (int j = 0; j < k; ++j) {
        const std::string& n = names[j];
        for (int i = 0; i < j; ++i)
            if (names[i] == n) {
                field = "inputs[" + integerText(j) + "]";
                why = quoted(n) + " given twice";
                return false;
            }
        if (six) {
            int offset, unit, sub;
            if (!sixAxisInput(n, offset, unit, sub)) {
                field = "inputs[" + integerText(j) + "]";
                why = quoted(n) +
                      " is not an input of a six-axis sample (Fx, Fy, Fz, Tx, Ty, Tz, sensorN.x, sensorN.y, "
                      "sensorN.z, sensorN.s1 ... sensorN.s8 with N = 1 ... 4)";
                return false;
            }
            b.offset.push_back(static_cast<uint32_t>(offset));
            b.unit.push_back(static_cast<uint8_t>(unit));
            b.subOffset.push_back(static_cast<uint32_t>(sub < 0 ? 0 : sub));
            if (unit == 0)
                b.componentInputs = true;
        } else {
            const int offset = channelInputOffset(n);
            if (offset < 0) {
                field = "inputs[" + integerText(j) + "]";
                why = quoted(n) + " is not an input of a three-axis channel (x, y, z, s1 ... s8)";
                return false;
            }
            b.offset.push_back(static_cast<uint32_t>(offset));
        }
    }
    block = std::move(b);
    return true;
}

namespace {

const char* const kOutputNames[2][6] = {{"x", "y", "z"}, {"Fx", "Fy", "Fz", "Tx", "Ty", "Tz"}};

std::string outputName(int rows, int r)
{
    return kOutputNames[rows == 6 ? 1 : 0][r];
}

// The unit of row r's numbers, as held.
std::string rowUnit(int rows, int r)
{
    return rows == 6 && r >= 3 ? "N*m" : "N";
}

// No all-zero row, and no row equal to another (to rounding).
bool distinctRows(const double* m, int rows, int k, std::string& field, std::string& why)
{
    auto largest = [&](int r) {
        double mx = 0.0;
        for (int j = 0; j < k; ++j)
            mx = std::max(mx, std::fabs(m[r * k + j]));
        return mx;
    };
    for (int r = 0; r < rows; ++r) {
        field = "matrix[" + integerText(r) + "]";
        if (largest(r) == 0.0) {
            why = "all zero: " + outputName(rows, r) + " would never change (a row of zeros)";
            return false;
        }
        for (int q = 0; q < r; ++q) {
            double diff = 0.0;
            for (int j = 0; j < k; ++j)
                diff = std::max(diff, std::fabs(m[r * k + j] - m[q * k + j]));
            if (diff <= 1e-9 * std::max(largest(r), largest(q))) {
                why = "the same as row " + integerText(q) + ": " + outputName(rows, r) + " would always change as " +
                      outputName(rows, q) + " does (a repeated row)";
                return false;
            }
        }
    }
    field.clear();
    return true;
}

} // namespace

bool makeBlock(int rows, const std::vector<std::string>& names, const std::vector<double>& matrix,
               const std::vector<double>& bias, Block& block, std::string& field, std::string& why)
{
    Block b;
    if (!checkInputs(rows, names, b, field, why))
        return false;
    const int k = static_cast<int>(names.size());
    if (matrix.size() != static_cast<std::size_t>(rows) * k) {
        field = "matrix";
        why = integerText(rows) + " rows of " + integerText(k) + " numbers expected (" + integerText(rows * k) +
              " values row by row, " + integerText(static_cast<long long>(matrix.size())) + " given)";
        return false;
    }
    for (int r = 0; r < rows; ++r)
        for (int j = 0; j < k; ++j) {
            const double v = matrix[r * k + j];
            if (!std::isfinite(v) || std::fabs(v) > kMaxPerCount) {
                field = "matrix[" + integerText(r) + "][" + integerText(j) + "]";
                why = std::isfinite(v) ? number(v) + " " + rowUnit(rows, r) +
                                             " per count is beyond what a force sensor can mean (at most " +
                                             number(kMaxPerCount) + " in magnitude)"
                                       : "a finite number expected";
                return false;
            }
        }
    if (bias.size() != static_cast<std::size_t>(rows)) {
        field = "bias";
        why = integerText(rows) + " numbers expected";
        return false;
    }
    for (int r = 0; r < rows; ++r)
        if (!std::isfinite(bias[r]) || std::fabs(bias[r]) > kMaxBias) {
            field = "bias[" + integerText(r) + "]";
            why = std::isfinite(bias[r]) ? number(bias[r]) + " " + rowUnit(rows, r) +
                                               " is beyond what a force sensor can mean (at most " +
                                               number(kMaxBias) + " in magnitude)"
                                         : "a finite number expected";
            return false;
        }
    if (!fullRank(matrix.data(), rows, k)) {
        field = "matrix";
        if (k >= rows)
            why = "not invertible: its " + integerText(rows) + " rows are not linearly independent (rank below " +
                  integerText(rows) + ")";
        else if (k == 1)
            why = "not invertible: its one column is all zero";
        else
            why = "not invertible: its " + integerText(k) + " columns are not linearly independent (rank below " +
                  integerText(k) + ")";
        return false;
    }
    // Fewer inputs than rows: the columns are independent, but an output may
    // still never change, or always equal another.
    if (k < rows && !distinctRows(matrix.data(), rows, k, field, why))
        return false;
    b.matrix = matrix;
    b.bias = bias;
    b.columns.resize(matrix.size());
    for (int r = 0; r < rows; ++r)
        for (int j = 0; j < k; ++j)
            b.columns[static_cast<std::size_t>(j) * rows + r] = matrix[r * k + j];
    b.present = true;
    block = std::move(b);
    return true;
}

bool setRange(int rows, const std::vector<double>& range, Block& block, std::string& field, std::string& why)
{
    if (range.empty()) {
        block.range.clear();
        block.rangeLimit.clear();
        return true;
    }
    if (range.size() != static_cast<std::size_t>(rows)) {
        field = "range";
        why = integerText(rows) + " numbers expected, one rated range per output (" +
              (rows == 6 ? "Fx, Fy, Fz in the force unit, Tx, Ty, Tz in the torque unit"
                         : "x, y, z in the force unit") +
              "), " + integerText(static_cast<long long>(range.size())) + " given";
        return false;
    }
    for (int r = 0; r < rows; ++r) {
        const double v = range[r];
        if (std::isfinite(v) && v > 0.0 && v <= kMaxBias)
            continue;
        field = "range[" + integerText(r) + "]";
        if (!std::isfinite(v))
            why = "a finite number expected";
        else if (v <= 0.0)
            why = number(v) + " " + rowUnit(rows, r) + ": a rated range is a positive load (the largest |" +
                  outputName(rows, r) + "| the sensor is rated for)";
        else
            why = number(v) + " " + rowUnit(rows, r) + " is beyond what a force sensor can mean (at most " +
                  number(kMaxBias) + ")";
        return false;
    }
    block.range = range;
    block.rangeLimit.resize(range.size());
    for (std::size_t r = 0; r < range.size(); ++r)
        block.rangeLimit[r] = range[r] * (1.0 + BrovaCalibration::rangeMargin);
    return true;
}

std::string conflictError(const Data& d)
{
    if (!d.hasIdentity || !d.sixAxis.present)
        return std::string();
    if (d.kind == 31 || d.kind == 68)
        return "sixAxis: kind " + integerText(d.kind) + " is a single three-axis sensor: it has no six-axis sample";
    if (d.kind == 34 || d.kind == 94) {
        for (std::size_t j = 0; j < d.sixAxis.names.size(); ++j)
            if (d.sixAxis.unit[j] == 0)
                return "sixAxis.inputs[" + integerText(static_cast<long long>(j)) + "]: " +
                       quoted(d.sixAxis.names[j]) + ": a four-channel device (kind " + integerText(d.kind) +
                       ") is read as six-axis from its channels only (sensor1 ... sensor4 for channels 0 ... 3)";
    }
    return std::string();
}

std::string wholeError(const Data& d)
{
    if (!d.hasIdentity)
        return "identity: missing";
    bool any = d.sixAxis.present;
    for (const Block& b : d.channels)
        any = any || b.present;
    if (!any)
        return "channels: nothing calibrated: at least one of channels and sixAxis expected";
    if (d.hasTool && !d.sixAxis.present)
        return "tool: a tool transform needs sixAxis";
    return conflictError(d);
}

} // namespace calibration
} // namespace brova

namespace {

using namespace brova::calibration;

// ---------------------------------------------------------------------------
// Reading the file.

const char* typeName(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO (named pipe)";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a plain file";
}

std::string notRegular(const std::string& path, mode_t mode)
{
    return path + ": not a regular file but " + typeName(mode) + ": a calibration file is a regular file";
}

std::string tooLarge(const std::string& path)
{
    return path + ": too large for a calibration file (over " + std::to_string(kMaxFileBytes / (1024 * 1024)) +
           " MiB)";
}

std::string systemError(const std::string& path, int error)
{
    return path + ": cannot be read: " + std::strerror(error);
}

// ---------------------------------------------------------------------------
// Members given twice. Qt's parser keeps the last of them without a word.

// A JSON string's text (between its quotes, escapes as JSON has them) as
// UTF-8.
std::string decodedString(const char* p, const char* end)
{
    std::string out;
    auto hex4 = [](const char* h) {
        unsigned v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = h[i];
            v = v * 16 + static_cast<unsigned>(c >= '0' && c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
        }
        return v;
    };
    auto utf8 = [&out](unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    };
    while (p < end) {
        if (*p != '\\') {
            out += *p++;
            continue;
        }
        if (++p == end)
            break;
        switch (*p) {
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'u': {
            if (end - p < 5)
                return out;
            unsigned cp = hex4(p + 1);
            p += 4;
            if (cp >= 0xD800 && cp < 0xDC00 && end - p >= 7 && p[1] == '\\' && p[2] == 'u') {
                const unsigned low = hex4(p + 3);
                if (low >= 0xDC00 && low < 0xE000) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    p += 6;
                }
            }
            utf8(cp);
            break;
        }
        default:  // a quote, a backslash or a slash
            out += *p;
        }
        ++p;
    }
    return out;
}

// The path of the first member given twice in one object ("identity.kind",
// "channels[0].bias"), or empty when there is none. Any text is scanned
// safely; in text that is not valid JSON a member it names may be given
// twice only as far as the scan can tell, and the file is refused either way.
std::string repeatedMember(const std::string& text)
{
    struct Level {
        bool object;
        std::string path;
        std::set<std::string> names;
        long long index = 0;   // arrays: the element's index
        bool wantName = true;  // objects: the next string is a member's name
        std::string name;      // objects: the member being read
    };
    std::vector<Level> stack;
    auto childPath = [&]() {
        if (stack.empty())
            return std::string();
        const Level& l = stack.back();
        if (l.object)
            return l.path.empty() ? l.name : l.path + "." + l.name;
        return l.path + "[" + std::to_string(l.index) + "]";
    };
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const char c = *p;
        if (c == '{' || c == '[') {
            Level l;
            l.object = c == '{';
            l.path = childPath();
            stack.push_back(std::move(l));
            ++p;
        } else if (c == '}' || c == ']') {
            if (!stack.empty())
                stack.pop_back();
            ++p;
        } else if (c == ',') {
            if (!stack.empty()) {
                ++stack.back().index;
                stack.back().wantName = true;
            }
            ++p;
        } else if (c == '"') {
            const char* q = ++p;
            while (q < end && *q != '"')
                q += *q == '\\' ? 2 : 1;
            if (!stack.empty() && stack.back().object && stack.back().wantName) {
                Level& l = stack.back();
                l.name = decodedString(p, std::min(q, end));
                l.wantName = false;
                if (!l.names.insert(l.name).second)
                    return l.path.empty() ? l.name : l.path + "." + l.name;
            }
            p = q < end ? q + 1 : end;
        } else {
            ++p;  // blanks, ':', numbers and literals
        }
    }
    return std::string();
}

} // namespace

namespace brova {
namespace calibration {

bool readFile(const std::string& path, std::string& bytes, std::string& error)
{
    // The type first, from the name: a FIFO or a device is not even opened
    // (opening a serial port may reset what is behind it).
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        error = systemError(path, errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = notRegular(path, st.st_mode);
        return false;
    }
    // Then what is opened, without blocking, in case the name was changed
    // in between.
    int fd;
    do
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = systemError(path, errno);
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::fstat(fd, &st) != 0) {
        error = systemError(path, errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = notRegular(path, st.st_mode);
        return false;
    }
    if (st.st_size > kMaxFileBytes) {
        error = tooLarge(path);
        return false;
    }
    // Read to the end, but never more than the limit (a file may grow).
    std::string out;
    out.resize(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t have = 0;
    for (;;) {
        if (have == out.size()) {
            if (out.size() > static_cast<std::size_t>(kMaxFileBytes)) {
                error = tooLarge(path);
                return false;
            }
            out.resize(std::min<std::size_t>(out.size() * 2 + 4096, kMaxFileBytes + 1));
        }
        const ssize_t got = ::read(fd, &out[have], out.size() - have);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = systemError(path, errno);
            return false;
        }
        if (got == 0)
            break;
        have += static_cast<std::size_t>(got);
    }
    out.resize(have);
    bytes = std::move(out);
    return true;
}

} // namespace calibration
} // namespace brova

// ---------------------------------------------------------------------------
// Reading the JSON form.

namespace {

using namespace brova::calibration;

class Parser {
public:
    explicit Parser(const std::string& name) : name_(name) {}

    const std::string& error() const { return error_; }

    bool fail(const std::string& path, const std::string& why)
    {
        error_ = name_ + ": " + path + ": " + why;
        return false;
    }

    bool failWhole(const std::string& fieldAndWhy)
    {
        error_ = name_ + ": " + fieldAndWhy;
        return false;
    }

    static std::string join(const std::string& path, const QString& key)
    {
        return path.empty() ? key.toStdString() : path + "." + key.toStdString();
    }

    // Every member of o is one of allowed.
    bool onlyKnown(const QJsonObject& o, const std::string& path, std::initializer_list<const char*> allowed)
    {
        for (auto it = o.begin(); it != o.end(); ++it) {
            bool known = false;
            for (const char* a : allowed)
                known = known || it.key() == QLatin1String(a);
            if (!known)
                return fail(join(path, it.key()), "unknown field");
        }
        return true;
    }

    bool object(const QJsonValue& v, const std::string& path, QJsonObject& out)
    {
        if (v.isUndefined())
            return fail(path, "missing");
        if (!v.isObject())
            return fail(path, "an object expected");
        out = v.toObject();
        return true;
    }

    bool integer(const QJsonValue& v, const std::string& path, int lo, int hi, const std::string& expected, int& out)
    {
        if (v.isUndefined())
            return fail(path, "missing");
        const double x = v.toDouble(std::nan(""));
        if (!v.isDouble() || !(x >= lo && x <= hi) || std::floor(x) != x)
            return fail(path, expected);
        out = static_cast<int>(x);
        return true;
    }

    // An optional string (empty when absent).
    bool optionalString(const QJsonObject& o, const char* key, const std::string& path, std::string& out)
    {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined()) {
            out.clear();
            return true;
        }
        if (!v.isString())
            return fail(join(path, QLatin1String(key)), "a string expected");
        out = v.toString().toStdString();
        return true;
    }

    bool numbers(const QJsonValue& v, const std::string& path, int n, std::vector<double>& out)
    {
        if (v.isUndefined())
            return fail(path, "missing");
        const QJsonArray a = v.toArray();
        if (!v.isArray() || a.size() != n)
            return fail(path, std::to_string(n) + " numbers expected");
        out.clear();
        for (int i = 0; i < n; ++i) {
            if (!a.at(i).isDouble())
                return fail(path + "[" + std::to_string(i) + "]", "a number expected");
            out.push_back(a.at(i).toDouble());
        }
        return true;
    }

    // rows arrays of k numbers each, into out row by row.
    bool matrix(const QJsonValue& v, const std::string& path, int rows, int k, std::vector<double>& out)
    {
        if (v.isUndefined())
            return fail(path, "missing");
        const std::string shape = std::to_string(rows) + " rows of " + std::to_string(k) + " numbers expected";
        const QJsonArray a = v.toArray();
        if (!v.isArray() || a.size() != rows)
            return fail(path, shape);
        out.clear();
        for (int r = 0; r < rows; ++r) {
            const QJsonArray row = a.at(r).toArray();
            if (!a.at(r).isArray() || row.size() != k)
                return fail(path, shape);
            for (int j = 0; j < k; ++j) {
                if (!row.at(j).isDouble())
                    return fail(path + "[" + std::to_string(r) + "][" + std::to_string(j) + "]", "a number expected");
                out.push_back(row.at(j).toDouble());
            }
        }
        return true;
    }

    bool names(const QJsonValue& v, const std::string& path, std::vector<std::string>& out)
    {
        if (v.isUndefined())
            return fail(path, "missing");
        const QJsonArray a = v.toArray();
        if (!v.isArray() || a.isEmpty())
            return fail(path, "a list of input names expected");
        out.clear();
        for (int i = 0; i < a.size(); ++i) {
            if (!a.at(i).isString())
                return fail(path + "[" + std::to_string(i) + "]", "an input name expected");
            out.push_back(a.at(i).toString().toStdString());
        }
        return true;
    }

    // A unit name of one of the tables.
    bool unit(const QJsonObject& units, const char* key, const Unit* (*lookup)(const std::string&), const char* what,
              const char* list, const std::string& needed, const Unit*& out)
    {
        const QJsonValue v = units.value(QLatin1String(key));
        const std::string path = std::string("units.") + key;
        if (v.isUndefined())
            return fail(path, "missing" + needed);
        if (!v.isString())
            return fail(path, std::string("a ") + what + " unit expected (" + list + ")");
        const std::string name = v.toString().toStdString();
        out = lookup(name);
        if (!out)
            return fail(path, quoted(name) + " is not a " + what + " unit (" + list + ")");
        return true;
    }

    // inputs, matrix and bias of one block, in the file's units (scale[r] for
    // row r), into block.
    bool block(const QJsonObject& o, const std::string& path, int rows, const Unit* const* scale, Block& out)
    {
        std::vector<std::string> inputs;
        std::vector<double> m, b;
        if (!names(o.value(QLatin1String("inputs")), path + ".inputs", inputs))
            return false;
        const int k = static_cast<int>(inputs.size());
        // Names first, so that a bad name is told before the matrix shape.
        {
            Block probe;
            std::string field, why;
            if (!checkInputs(rows, inputs, probe, field, why))
                return fail(path + "." + field, why);
        }
        if (!matrix(o.value(QLatin1String("matrix")), path + ".matrix", rows, k, m))
            return false;
        if (!numbers(o.value(QLatin1String("bias")), path + ".bias", rows, b))
            return false;
        std::vector<double> range;
        if (!rangeNumbers(o.value(QLatin1String("range")), path + ".range", rows, scale, range))
            return false;
        for (int r = 0; r < rows; ++r) {
            for (int j = 0; j < k; ++j)
                m[r * k + j] = convert(m[r * k + j], *scale[r]);
            b[r] = convert(b[r], *scale[r]);
            if (!range.empty())
                range[r] = convert(range[r], *scale[r]);
        }
        std::string field, why;
        Block made;
        if (!makeBlock(rows, inputs, m, b, made, field, why) || !setRange(rows, range, made, field, why))
            return fail(path + "." + field, why);
        out = std::move(made);
        return true;
    }

    // An optional rated range: rows numbers in the file's units (a row's unit
    // from scale), told by name when it is not that.
    bool rangeNumbers(const QJsonValue& v, const std::string& path, int rows, const Unit* const* scale,
                      std::vector<double>& out)
    {
        out.clear();
        if (v.isUndefined())
            return true;
        std::string units;
        for (int r = 0; r < rows; ++r)
            units += std::string(r ? ", " : "") + scale[r]->name;
        const std::string shape = std::to_string(rows) + " numbers expected, one rated range per output, in the " +
                                  "file's units (" + units + ")";
        const QJsonArray a = v.toArray();
        if (!v.isArray() || a.size() != rows)
            return fail(path, shape);
        for (int r = 0; r < rows; ++r) {
            if (!a.at(r).isDouble())
                return fail(path + "[" + std::to_string(r) + "]",
                            std::string("a number in ") + scale[r]->name + " expected (the file's " +
                                (rows == 6 && r >= 3 ? "torque" : "force") + " unit)");
            out.push_back(a.at(r).toDouble());
        }
        return true;
    }

    bool parse(const std::string& text, Data& d)
    {
        // Before Qt's parser reads it: Qt keeps the last of a member given
        // twice, which may not be the one meant (and Qt 5's parser does not
        // free what it drops).
        const std::string twice = repeatedMember(text);
        if (!twice.empty())
            return fail(twice, "given twice: each member of an object is given once");
        QJsonParseError perr;
        const QByteArray bytes = QByteArray::fromRawData(text.data(), static_cast<int>(text.size()));
        const QJsonDocument doc = QJsonDocument::fromJson(bytes, &perr);
        if (perr.error != QJsonParseError::NoError) {
            int line = 1, column = 1;
            for (int i = 0; i < perr.offset && i < static_cast<int>(text.size()); ++i) {
                if (text[i] == '\n') {
                    ++line;
                    column = 1;
                } else {
                    ++column;
                }
            }
            error_ = name_ + ": not valid JSON: " + perr.errorString().toStdString() + " (line " +
                     std::to_string(line) + ", column " + std::to_string(column) + ")";
            return false;
        }
        if (!doc.isObject()) {
            error_ = name_ + ": a JSON object expected at the top";
            return false;
        }
        const QJsonObject top = doc.object();

        // Format and version before anything else: a newer file is told as
        // such, not as a list of fields unknown here.
        const QJsonValue format = top.value(QLatin1String("format"));
        if (format.isUndefined())
            return fail("format", "missing: \"brova-calibration\" expected");
        if (format.toString() != QLatin1String("brova-calibration"))
            return fail("format", "\"brova-calibration\" expected");
        const QJsonValue version = top.value(QLatin1String("version"));
        if (version.isUndefined())
            return fail("version", "missing: " + std::to_string(kFormatVersion) + " expected");
        const double ver = version.toDouble(std::nan(""));
        if (version.isDouble() && std::floor(ver) == ver && ver > kFormatVersion)
            return fail("version", number(ver) + " is newer than this library reads (" +
                                       std::to_string(kFormatVersion) +
                                       "): a newer libBRV is needed for this file");
        if (!version.isDouble() || ver != kFormatVersion)
            return fail("version", std::to_string(kFormatVersion) + " expected");
        if (!onlyKnown(top, "",
                       {"format", "version", "identity", "units", "channels", "sixAxis", "tool", "provenance"}))
            return false;

        // identity
        QJsonObject identity;
        if (!object(top.value(QLatin1String("identity")), "identity", identity))
            return false;
        if (!onlyKnown(identity, "identity", {"kind", "identification", "serial", "date"}))
            return false;
        if (!integer(identity.value(QLatin1String("kind")), "identity.kind", 0, 1000,
                     "one of 31, 34, 64, 68, 94, 95 expected", d.kind))
            return false;
        if (!knownKind(d.kind))
            return fail("identity.kind", "one of 31, 34, 64, 68, 94, 95 expected");
        if (!optionalString(identity, "identification", "identity", d.identification) ||
            !optionalString(identity, "serial", "identity", d.serial) ||
            !optionalString(identity, "date", "identity", d.date))
            return false;
        d.hasIdentity = true;

        // units
        QJsonObject units;
        if (!object(top.value(QLatin1String("units")), "units", units))
            return false;
        if (!onlyKnown(units, "units", {"force", "torque", "translation"}))
            return false;
        const char* forceList = "N, kN, lbf, kgf";
        const char* torqueList = "N*m, N\xC2\xB7m, Nm, N*mm, lbf*in, lbf*ft, kgf*m";
        const char* lengthList = "m, mm, in";
        const Unit* force = &kBaseUnit;
        const Unit* torque = &kBaseUnit;
        const Unit* length = &kBaseUnit;
        if (!unit(units, "force", forceUnit, "force", forceList, "", force))
            return false;
        const bool sixPresent = top.contains(QLatin1String("sixAxis"));
        const bool toolPresent = top.contains(QLatin1String("tool"));
        if (sixPresent || units.contains(QLatin1String("torque")))
            if (!unit(units, "torque", torqueUnit, "torque", torqueList, " (sixAxis has torque rows)", torque))
                return false;
        if (toolPresent || units.contains(QLatin1String("translation")))
            if (!unit(units, "translation", lengthUnit, "length", lengthList,
                      " (tool.translation is in it)", length))
                return false;

        // channels
        const QJsonValue channels = top.value(QLatin1String("channels"));
        if (!channels.isUndefined()) {
            if (!channels.isArray())
                return fail("channels", "a list of channel objects expected");
            const QJsonArray list = channels.toArray();
            const Unit* const scale[3] = {force, force, force};
            for (int i = 0; i < list.size(); ++i) {
                const std::string path = "channels[" + std::to_string(i) + "]";
                QJsonObject c;
                if (!object(list.at(i), path, c))
                    return false;
                if (!onlyKnown(c, path, {"channel", "inputs", "matrix", "bias", "range"}))
                    return false;
                int index = 0;
                if (!integer(c.value(QLatin1String("channel")), path + ".channel", 0, kChannels - 1,
                             "a channel index 0 ... 15 expected", index))
                    return false;
                if (d.channels[index].present)
                    return fail(path + ".channel", std::to_string(index) + " given twice");
                if (!block(c, path, 3, scale, d.channels[index]))
                    return false;
            }
        }

        // sixAxis
        if (sixPresent) {
            QJsonObject six;
            if (!object(top.value(QLatin1String("sixAxis")), "sixAxis", six))
                return false;
            if (!onlyKnown(six, "sixAxis", {"inputs", "matrix", "bias", "range"}))
                return false;
            const Unit* const scale[6] = {force, force, force, torque, torque, torque};
            if (!block(six, "sixAxis", 6, scale, d.sixAxis))
                return false;
        }

        // tool
        if (toolPresent) {
            QJsonObject tool;
            if (!object(top.value(QLatin1String("tool")), "tool", tool))
                return false;
            if (!onlyKnown(tool, "tool", {"translation", "rotation", "rpy"}))
                return false;
            std::vector<double> t;
            if (!numbers(tool.value(QLatin1String("translation")), "tool.translation", 3, t))
                return false;
            for (int i = 0; i < 3; ++i) {
                d.translation[i] = convert(t[i], *length);
                const std::string why = translationError(d.translation[i]);
                if (!why.empty())
                    return fail("tool.translation[" + std::to_string(i) + "]", why);
            }
            const bool hasRotation = tool.contains(QLatin1String("rotation"));
            const bool hasRpy = tool.contains(QLatin1String("rpy"));
            if (hasRotation && hasRpy)
                return fail("tool", "rotation and rpy both given: one of them expected");
            if (hasRotation) {
                std::vector<double> r;
                if (!matrix(tool.value(QLatin1String("rotation")), "tool.rotation", 3, 3, r))
                    return false;
                std::copy(r.begin(), r.end(), d.rotation);
                std::string why;
                if (!isRotation(d.rotation, why))
                    return fail("tool.rotation", why);
            } else if (hasRpy) {
                std::vector<double> a;
                if (!numbers(tool.value(QLatin1String("rpy")), "tool.rpy", 3, a))
                    return false;
                rotationFromRpy(a[0], a[1], a[2], d.rotation);
            }
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j)
                    d.rotationT[i * 3 + j] = d.rotation[j * 3 + i];
            d.hasTool = true;
        }

        // provenance
        const QJsonValue provenance = top.value(QLatin1String("provenance"));
        if (!provenance.isUndefined()) {
            if (!object(provenance, "provenance", d.provenance))
                return false;
            d.hasProvenance = true;
        }

        const std::string whole = wholeError(d);
        if (!whole.empty())
            return failWhole(whole);
        return true;
    }

private:
    std::string name_;
    std::string error_;
};

// ---------------------------------------------------------------------------
// Writing the JSON form.

std::string jsonString(const std::string& s)
{
    // Through Qt's text: a byte sequence that is no UTF-8 comes out as U+FFFD.
    const QByteArray utf8 = QString::fromStdString(s).toUtf8();
    std::string out = "\"";
    for (char ch : utf8) {
        const unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            } else {
                out += ch;
            }
        }
    }
    return out + "\"";
}

std::string numberList(const double* v, int n)
{
    std::string out = "[";
    for (int i = 0; i < n; ++i) {
        if (i)
            out += ", ";
        out += number(v[i] == 0.0 ? 0.0 : v[i]);
    }
    return out + "]";
}

std::string matrixText(const double* m, int rows, int k, const std::string& indent)
{
    std::string out = "[\n";
    for (int r = 0; r < rows; ++r) {
        out += indent + "    " + numberList(m + static_cast<std::size_t>(r) * k, k);
        out += r + 1 < rows ? ",\n" : "\n";
    }
    return out + indent + "]";
}

std::string blockText(const Block& b, const std::string& indent)
{
    std::string out;
    out += indent + "\"inputs\": [";
    for (std::size_t j = 0; j < b.names.size(); ++j)
        out += (j ? ", " : "") + jsonString(b.names[j]);
    out += "],\n";
    out += indent + "\"matrix\": " +
           matrixText(b.matrix.data(), b.rows, static_cast<int>(b.names.size()), indent) + ",\n";
    out += indent + "\"bias\": " + numberList(b.bias.data(), b.rows);
    if (!b.range.empty())
        out += ",\n" + indent + "\"range\": " + numberList(b.range.data(), b.rows);
    return out + "\n";
}

std::string fileText(const Data& d)
{
    std::string out = "{\n";
    out += "    \"format\": \"brova-calibration\",\n";
    out += "    \"version\": " + std::to_string(kFormatVersion) + ",\n";
    out += "    \"identity\": {\n";
    out += "        \"kind\": " + std::to_string(d.kind) + ",\n";
    out += "        \"identification\": " + jsonString(d.identification) + ",\n";
    out += "        \"serial\": " + jsonString(d.serial) + ",\n";
    out += "        \"date\": " + jsonString(d.date) + "\n";
    out += "    },\n";
    out += "    \"units\": {\"force\": \"N\", \"torque\": \"N*m\", \"translation\": \"m\"}";
    bool anyChannel = false;
    for (const Block& b : d.channels)
        anyChannel = anyChannel || b.present;
    if (anyChannel) {
        out += ",\n    \"channels\": [";
        bool first = true;
        for (int c = 0; c < kChannels; ++c) {
            const Block& b = d.channels[c];
            if (!b.present)
                continue;
            out += first ? "\n" : ",\n";
            first = false;
            out += "        {\n";
            out += "            \"channel\": " + std::to_string(c) + ",\n";
            out += blockText(b, "            ");
            out += "        }";
        }
        out += "\n    ]";
    }
    if (d.sixAxis.present) {
        out += ",\n    \"sixAxis\": {\n";
        out += blockText(d.sixAxis, "        ");
        out += "    }";
    }
    if (d.hasTool) {
        out += ",\n    \"tool\": {\n";
        out += "        \"translation\": " + numberList(d.translation, 3) + ",\n";
        out += "        \"rotation\": " + matrixText(d.rotation, 3, 3, "        ") + "\n";
        out += "    }";
    }
    if (d.hasProvenance) {
        QByteArray p = QJsonDocument(d.provenance).toJson(QJsonDocument::Indented);
        while (!p.isEmpty() && (p.endsWith('\n') || p.endsWith(' ')))
            p.chop(1);
        std::string text = p.toStdString();
        std::string indented;
        for (char ch : text) {
            indented += ch;
            if (ch == '\n')
                indented += "    ";
        }
        out += ",\n    \"provenance\": " + indented;
    }
    out += "\n}\n";
    return out;
}

} // namespace

namespace brova {
namespace calibration {

bool parseText(const std::string& text, const std::string& name, Data& d, std::string& error)
{
    Parser parser(name);
    if (!parser.parse(text, d)) {
        error = parser.error();
        return false;
    }
    return true;
}

std::string toText(const Data& d)
{
    return fileText(d);
}

} // namespace calibration
} // namespace brova
