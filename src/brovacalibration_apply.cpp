// BrovaCalibration: the arithmetic of applying a calibration, with the
// accessors worked out on load: C s (+ b), then the tool transform.
#include "brovacalibration.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "brovacalibration_p.h"

namespace {

using namespace brova::calibration;

inline int32_t field(const void* record, uint32_t offset)
{
    int32_t v;
    std::memcpy(&v, static_cast<const char*>(record) + offset, sizeof v);
    return v;
}

// Two doubles as one value (GCC's and Clang's vector extension): the
// products of one input with two rows at once, on any target.
typedef double Pair __attribute__((vector_size(16)));

inline Pair loadPair(const double* p)
{
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// force = C s (+ b) for a channel, s read by get(j); the accumulators stay in
// registers.
template <class Get>
inline void product3(const Block& b, bool tared, Get get, double (&out)[3])
{
    double a0 = 0.0, a1 = 0.0, a2 = 0.0;
    if (!tared) {
        a0 = b.bias[0];
        a1 = b.bias[1];
        a2 = b.bias[2];
    }
    const double* col = b.columns.data();
    const std::size_t k = b.offset.size();
    for (std::size_t j = 0; j < k; ++j, col += 3) {
        const double s = get(j);
        a0 += col[0] * s;
        a1 += col[1] * s;
        a2 += col[2] * s;
    }
    out[0] = a0;
    out[1] = a1;
    out[2] = a2;
}

// wrench = C s (+ b) for six-axis: two sets of three row pairs, for even and
// odd inputs, so that the additions of one input need not wait for the last.
template <class Get>
inline void product6(const Block& b, bool tared, Get get, double (&out)[6])
{
    const Pair zero = {0.0, 0.0};
    Pair a0 = zero, a1 = zero, a2 = zero, b0 = zero, b1 = zero, b2 = zero;
    if (!tared) {
        a0 = loadPair(b.bias.data());
        a1 = loadPair(b.bias.data() + 2);
        a2 = loadPair(b.bias.data() + 4);
    }
    const double* col = b.columns.data();
    const std::size_t k = b.offset.size();
    std::size_t j = 0;
    for (; j + 1 < k; j += 2, col += 12) {
        const double s = get(j);
        const double t = get(j + 1);
        const Pair sv = {s, s};
        const Pair tv = {t, t};
        a0 += loadPair(col) * sv;
        a1 += loadPair(col + 2) * sv;
        a2 += loadPair(col + 4) * sv;
        b0 += loadPair(col + 6) * tv;
        b1 += loadPair(col + 8) * tv;
        b2 += loadPair(col + 10) * tv;
    }
    if (j < k) {
        const double s = get(j);
        const Pair sv = {s, s};
        a0 += loadPair(col) * sv;
        a1 += loadPair(col + 2) * sv;
        a2 += loadPair(col + 4) * sv;
    }
    a0 += b0;
    a1 += b1;
    a2 += b2;
    out[0] = a0[0];
    out[1] = a0[1];
    out[2] = a1[0];
    out[3] = a1[1];
    out[4] = a2[0];
    out[5] = a2[1];
}

inline void finishWrench(const Data& d, const double (&w)[6], double (&out)[6])
{
    if (!d.hasTool) {
        for (int i = 0; i < 6; ++i)
            out[i] = w[i];
        return;
    }
    const double* p = d.translation;
    const double* rt = d.rotationT;
    // T - d x F
    const double t0 = w[3] - (p[1] * w[2] - p[2] * w[1]);
    const double t1 = w[4] - (p[2] * w[0] - p[0] * w[2]);
    const double t2 = w[5] - (p[0] * w[1] - p[1] * w[0]);
    out[0] = rt[0] * w[0] + rt[1] * w[1] + rt[2] * w[2];
    out[1] = rt[3] * w[0] + rt[4] * w[1] + rt[5] * w[2];
    out[2] = rt[6] * w[0] + rt[7] * w[1] + rt[8] * w[2];
    out[3] = rt[0] * t0 + rt[1] * t1 + rt[2] * t2;
    out[4] = rt[3] * t0 + rt[4] * t1 + rt[5] * t2;
    out[5] = rt[6] * t0 + rt[7] * t1 + rt[8] * t2;
}

// The over-range bits of n outputs against a block's limits (none without
// a range).
template <int N>
inline uint32_t overRange(const Block& b, const double (&v)[N])
{
    if (b.rangeLimit.empty())
        return 0;
    uint32_t flags = 0;
    for (int r = 0; r < N; ++r)
        if (!(std::fabs(v[r]) <= b.rangeLimit[static_cast<std::size_t>(r)]))  // NaN too
            flags |= static_cast<uint32_t>(BROVA_FLAG_AXIS_OVER_RANGE) << r;
    return flags ? flags | BROVA_FLAG_OVER_RANGE : 0u;
}

} // namespace

bool BrovaCalibration::applyForce(const BrovaPackage& sample, int channel, bool tared, double (&force)[3]) const
{
    if (channel < 0 || channel >= kChannels)
        return false;
    const Block& b = d->channels[channel];
    if (!b.present)
        return false;
    const uint32_t* offset = b.offset.data();
    product3(b, tared, [&](std::size_t j) { return static_cast<double>(field(&sample, offset[j])); }, force);
    return true;
}

bool BrovaCalibration::applyWrench(const BrovaPackage6D& sample, bool tared, double (&wrench)[6]) const
{
    uint32_t unused = 0;
    return applyWrench(sample, tared, wrench, unused);
}

bool BrovaCalibration::applyWrench(const BrovaPackage& c0, const BrovaPackage& c1, const BrovaPackage& c2,
                                   const BrovaPackage& c3, bool tared, double (&wrench)[6]) const
{
    uint32_t unused = 0;
    return applyWrench(c0, c1, c2, c3, tared, wrench, unused);
}

bool BrovaCalibration::applyForce(const BrovaPackage& sample, int channel, bool tared, double (&force)[3],
                                  uint32_t& flags) const
{
    if (!applyForce(sample, channel, tared, force))
        return false;
    flags |= overRange(d->channels[channel], force);
    return true;
}

bool BrovaCalibration::applyWrench(const BrovaPackage6D& sample, bool tared, double (&wrench)[6],
                                   uint32_t& flags) const
{
    const Block& b = d->sixAxis;
    if (!b.present)
        return false;
    const uint32_t* offset = b.offset.data();
    double w[6];
    product6(b, tared, [&](std::size_t j) { return static_cast<double>(field(&sample, offset[j])); }, w);
    flags |= overRange(b, w);
    finishWrench(*d, w, wrench);
    return true;
}

bool BrovaCalibration::applyWrench(const BrovaPackage& c0, const BrovaPackage& c1, const BrovaPackage& c2,
                                   const BrovaPackage& c3, bool tared, double (&wrench)[6], uint32_t& flags) const
{
    const Block& b = d->sixAxis;
    if (!b.present || b.componentInputs)
        return false;
    const BrovaPackage* units[5] = {nullptr, &c0, &c1, &c2, &c3};
    const uint8_t* unit = b.unit.data();
    const uint32_t* offset = b.subOffset.data();
    double w[6];
    product6(
        b, tared, [&](std::size_t j) { return static_cast<double>(field(units[unit[j]], offset[j])); }, w);
    flags |= overRange(b, w);
    finishWrench(*d, w, wrench);
    return true;
}
