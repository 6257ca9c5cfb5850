#include "brvsim_calibration.h"

#include "brvsim_wire.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <vector>

namespace brvsim {

namespace {

// Uniform in [a, b) from the raw generator output, the same everywhere.
double uniform(std::mt19937& rng, double a, double b) { return a + (b - a) * (static_cast<double>(rng()) / 4294967296.0); }

// To the nearest multiple of 1/per (the double nearest the decimal value).
double roundTo(double v, double per) { return std::round(v * per) / per; }

// A square gain matrix with the given nominal diagonal per row, as the
// header describes; gains rounded to 0.001 count.
template <std::size_t N>
void makeGain(std::mt19937& rng, std::array<std::array<double, N>, N>& g, const std::array<double, N>& nominal) {
    std::array<double, N> d{};
    for (std::size_t i = 0; i < N; ++i) d[i] = roundTo(nominal[i] * uniform(rng, 0.9, 1.1), 1000);
    for (std::size_t i = 0; i < N; ++i)
        for (std::size_t j = 0; j < N; ++j)
            g[i][j] = i == j ? d[i] : roundTo(0.03 * uniform(rng, -1.0, 1.0) * std::sqrt(d[i] * d[j]), 1000);
}

struct Token {
    std::string text;
    int line;
};

std::vector<Token> tokenize(const std::string& text) {
    std::vector<Token> out;
    int line = 1;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\n') {
            ++line;
            ++i;
        } else if (c == '#') {
            while (i < text.size() && text[i] != '\n') ++i;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else {
            const std::size_t start = i;
            while (i < text.size() && text[i] != '\n' && text[i] != '#' && text[i] != ' ' && text[i] != '\t' &&
                   text[i] != '\r')
                ++i;
            out.push_back({text.substr(start, i - start), line});
        }
    }
    return out;
}

bool toNumber(const std::string& s, double& v) {
    char* end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return !s.empty() && *end == '\0' && std::isfinite(v);
}

// The shortest of 10..17 significant digits that reads back as the same double.
std::string fmt(double v) {
    char buf[40];
    for (int digits = 10; digits <= 17; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, v);
        if (std::strtod(buf, nullptr) == v) break;
    }
    return buf;
}

void writeRows(std::ostringstream& out, const char* key, const double* v, int rows, int cols) {
    for (int r = 0; r < rows; ++r) {
        out << (r == 0 ? key : "       ");
        for (int c = 0; c < cols; ++c) out << ' ' << fmt(v[r * cols + c]);
        out << '\n';
    }
}

// One block of the file: the gain, bias, inverse and offset, for n = 3 or 6.
void writeBlock(std::ostringstream& out, const double* gain, const double* bias, int n) {
    writeRows(out, "gain   ", gain, n, n);
    writeRows(out, "bias   ", bias, 1, n);
    std::vector<double> inv(static_cast<std::size_t>(n * n)), offset(static_cast<std::size_t>(n));
    if (!invertMatrix(gain, inv.data(), n)) return;
    for (int r = 0; r < n; ++r) {
        double s = 0;
        for (int c = 0; c < n; ++c) s -= inv[static_cast<std::size_t>(r * n + c)] * bias[c];
        offset[static_cast<std::size_t>(r)] = s;
    }
    writeRows(out, "inverse", inv.data(), n, n);
    writeRows(out, "offset ", offset.data(), 1, n);
}

}  // namespace

Calibration makeCalibration(std::uint32_t seed) {
    std::mt19937 rng(seed);
    Calibration cal;
    for (auto& ch : cal.channel) {
        makeGain<3>(rng, ch.gain, {100, 100, 100});
        ch.bias = {std::round(uniform(rng, -300, 300)), std::round(uniform(rng, -300, 300)),
                   std::round(16000 + uniform(rng, -500, 500))};
    }
    makeGain<6>(rng, cal.sixAxis.gain, {100, 100, 100, 2000, 2000, 2000});
    for (std::size_t i = 0; i < 6; ++i)
        cal.sixAxis.bias[i] = std::round(i == 2 ? 16000 + uniform(rng, -500, 500) : uniform(rng, -300, 300));
    return cal;
}

std::array<double, 3> countsFor(const Gain3& g, const Force3& f) {
    const double in[3] = {f.fx, f.fy, f.fz};
    std::array<double, 3> out{};
    for (std::size_t r = 0; r < 3; ++r) {
        out[r] = g.bias[r];
        for (std::size_t c = 0; c < 3; ++c) out[r] += g.gain[r][c] * in[c];
    }
    return out;
}

std::array<double, 6> countsFor(const Gain6& g, const Wrench& w) {
    const double in[6] = {w.Fx, w.Fy, w.Fz, w.Tx, w.Ty, w.Tz};
    std::array<double, 6> out{};
    for (std::size_t r = 0; r < 6; ++r) {
        out[r] = g.bias[r];
        for (std::size_t c = 0; c < 6; ++c) out[r] += g.gain[r][c] * in[c];
    }
    return out;
}

bool invertMatrix(const double* a, double* inverse, int n) {
    const auto N = static_cast<std::size_t>(n);
    std::vector<double> m(a, a + N * N), inv(N * N, 0.0);
    double largest = 0;
    for (double v : m) largest = std::max(largest, std::fabs(v));
    if (!(largest > 0)) return false;
    for (std::size_t i = 0; i < N; ++i) inv[i * N + i] = 1.0;
    for (std::size_t col = 0; col < N; ++col) {
        std::size_t pivot = col;
        for (std::size_t r = col + 1; r < N; ++r)
            if (std::fabs(m[r * N + col]) > std::fabs(m[pivot * N + col])) pivot = r;
        if (std::fabs(m[pivot * N + col]) < 1e-9 * largest) return false;
        for (std::size_t c = 0; c < N; ++c) {
            std::swap(m[col * N + c], m[pivot * N + c]);
            std::swap(inv[col * N + c], inv[pivot * N + c]);
        }
        const double p = m[col * N + col];
        for (std::size_t c = 0; c < N; ++c) {
            m[col * N + c] /= p;
            inv[col * N + c] /= p;
        }
        for (std::size_t r = 0; r < N; ++r) {
            if (r == col) continue;
            const double f = m[r * N + col];
            if (f == 0) continue;
            for (std::size_t c = 0; c < N; ++c) {
                m[r * N + c] -= f * m[col * N + c];
                inv[r * N + c] -= f * inv[col * N + c];
            }
        }
    }
    std::copy(inv.begin(), inv.end(), inverse);
    return true;
}

bool parseCalibration(const std::string& text, int kind, Calibration& cal, std::string& error) {
    const auto tokens = tokenize(text);
    Calibration out = cal;
    const int channels = channelCount(kind);
    const bool six = isSixAxisKind(kind);
    std::array<bool, 5> seen{};  // channels 0..3, six-axis
    int block = -1;              // 0..3 a channel, 4 six-axis, -1 none yet
    bool hasGain = false, hasBias = false;
    int blockLine = 0;
    std::size_t i = 0;
    auto fail = [&](int line, const std::string& what) {
        error = "line " + std::to_string(line) + ": " + what;
        return false;
    };
    auto blockName = [&] { return block == 4 ? std::string("six-axis") : "channel " + std::to_string(block); };
    auto closeBlock = [&]() {
        if (block < 0) return true;
        if (!hasGain || !hasBias)
            return fail(blockLine, blockName() + " needs a gain and a bias");
        const int n = block == 4 ? 6 : 3;
        std::vector<double> inv(static_cast<std::size_t>(n * n));
        const double* g = block == 4 ? &out.sixAxis.gain[0][0] : &out.channel[static_cast<std::size_t>(block)].gain[0][0];
        if (!invertMatrix(g, inv.data(), n)) return fail(blockLine, "the gain of " + blockName() + " is singular");
        return true;
    };
    // Reads `count` numbers after the keyword at tokens[i].
    auto numbers = [&](std::size_t count, double* dst) {
        const Token& key = tokens[i++];
        for (std::size_t k = 0; k < count; ++k, ++i) {
            if (i >= tokens.size() || !toNumber(tokens[i].text, dst[k]))
                return fail(i < tokens.size() ? tokens[i].line : key.line,
                            key.text + " of " + blockName() + " needs " + std::to_string(count) + " numbers");
        }
        return true;
    };
    while (i < tokens.size()) {
        const Token& t = tokens[i];
        if (t.text == "channel" || t.text == "six-axis") {
            if (!closeBlock()) return false;
            hasGain = hasBias = false;
            blockLine = t.line;
            if (t.text == "six-axis") {
                if (!six) return fail(t.line, "six-axis block for a device of kind " + std::to_string(kind));
                block = 4;
                ++i;
            } else {
                double c = -1;
                if (i + 1 >= tokens.size() || !toNumber(tokens[i + 1].text, c) || c != std::floor(c) || c < 0 ||
                    c >= channels)
                    return fail(t.line, "channel needs a number from 0 to " + std::to_string(channels - 1));
                block = static_cast<int>(c);
                i += 2;
            }
            if (seen[static_cast<std::size_t>(block)]) return fail(t.line, blockName() + " given twice");
            seen[static_cast<std::size_t>(block)] = true;
            continue;
        }
        if (t.text != "gain" && t.text != "bias" && t.text != "inverse" && t.text != "offset")
            return fail(t.line, "unknown word '" + t.text + "'");
        if (block < 0) return fail(t.line, t.text + " before any channel or six-axis line");
        const std::size_t n = block == 4 ? 6 : 3;
        auto& ch = out.channel[static_cast<std::size_t>(block < 4 ? block : 0)];
        if (t.text == "gain") {
            if (hasGain) return fail(t.line, "two gains for " + blockName());
            hasGain = true;
            if (!numbers(n * n, block == 4 ? &out.sixAxis.gain[0][0] : &ch.gain[0][0])) return false;
        } else if (t.text == "bias") {
            if (hasBias) return fail(t.line, "two biases for " + blockName());
            hasBias = true;
            if (!numbers(n, block == 4 ? out.sixAxis.bias.data() : ch.bias.data())) return false;
        } else {
            std::vector<double> ignored(t.text == "inverse" ? n * n : n);
            if (!numbers(ignored.size(), ignored.data())) return false;
        }
    }
    if (!closeBlock()) return false;
    if (block < 0) {
        error = "no channel or six-axis block";
        return false;
    }
    cal = out;
    return true;
}

std::string formatCalibration(const Calibration& cal, int kind) {
    std::ostringstream out;
    out << "# brova-sim calibration of a device of kind " << kind
        << ": counts = gain * load + bias (load in N and N*m);\n"
           "# inverse and offset: load = inverse * counts + offset\n";
    for (int c = 0; c < channelCount(kind); ++c) {
        const auto& ch = cal.channel[static_cast<std::size_t>(c)];
        out << "channel " << c << '\n';
        writeBlock(out, &ch.gain[0][0], ch.bias.data(), 3);
    }
    if (isSixAxisKind(kind)) {
        out << "six-axis\n";
        writeBlock(out, &cal.sixAxis.gain[0][0], cal.sixAxis.bias.data(), 6);
    }
    return out.str();
}

}  // namespace brvsim
