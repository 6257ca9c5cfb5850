// The samples' status flags: which fields of a frame came at their rails.
// Judged on the fields as received, before the zero offsets, and only on the
// fields the frame carried (brovaflags.h says which).
#include <algorithm>

#include "brovadaq_p.h"
#include "brovaflags.h"

namespace {

constexpr bool atUnsignedRail(int32_t v)
{
    return v == 0 || v == 65535;
}

constexpr bool atSignedRail(int32_t v)
{
    return v == -32768 || v == 32767;
}

constexpr uint32_t channelBit(int channel)
{
    return channel >= 0 && channel < 16 ? static_cast<uint32_t>(BROVA_FLAG_CHANNEL_RAIL) << channel : 0u;
}

constexpr uint32_t elementRail(int channel)
{
    return BROVA_FLAG_RAIL | BROVA_FLAG_ELEMENT_RAIL | channelBit(channel);
}

constexpr uint32_t vectorRail(int channel)
{
    return BROVA_FLAG_RAIL | BROVA_FLAG_VECTOR_RAIL | channelBit(channel);
}

// Element readings s1 ... s(count) of a sample as received.
uint32_t elementRails(const BrovaPackage& p, int count, int channel)
{
    const int32_t s[8] = {p.s1, p.s2, p.s3, p.s4, p.s5, p.s6, p.s7, p.s8};
    for (int i = 0; i < count; ++i)
        if (atUnsignedRail(s[i]))
            return elementRail(channel);
    return 0;
}

// x and y signed, z unsigned: the stream frames' vector.
uint32_t streamVectorRails(const BrovaPackage& p, int channel)
{
    return atSignedRail(p.x) || atSignedRail(p.y) || atUnsignedRail(p.z) ? vectorRail(channel) : 0u;
}

} // namespace

uint32_t BrovaDAQ_private::streamRailFlags(int channels, bool vectorMode) const
{
    uint32_t flags = 0;
    for (int c = 0; c < channels; ++c) {
        const BrovaPackage& p = frameSamples[c];
        if (channels == 1) {
            // The three-axis frame carries the vector and all eight readings.
            flags |= streamVectorRails(p, c) | elementRails(p, 8, c);
        } else if (vectorMode) {
            flags |= streamVectorRails(p, c);
        } else {
            flags |= elementRails(p, 4, c);
        }
    }
    return flags;
}

uint32_t BrovaDAQ_private::sixAxisStreamRailFlags() const
{
    const BrovaPackage6D& s = frameSample6D;
    uint32_t flags = 0;
    for (int32_t v : {s.Fx, s.Fy, s.Fz, s.Tx, s.Ty, s.Tz})
        if (atSignedRail(v))
            flags |= vectorRail(-1);
    const BrovaPackage* units[4] = {&s.sensor1, &s.sensor2, &s.sensor3, &s.sensor4};
    for (int u = 0; u < 4; ++u)
        flags |= elementRails(*units[u], 4, u);
    return flags;
}

uint32_t BrovaDAQ_private::payloadRail(int at, bool isSigned, bool vector, int channel) const
{
    if (at + 2 > payloadLength)
        return 0;  // not carried: read as 0, which is no reading
    const int32_t v = word(at, isSigned);
    if (!(isSigned ? atSignedRail(v) : atUnsignedRail(v)))
        return 0;
    return vector ? vectorRail(channel) : elementRail(channel);
}

uint32_t BrovaDAQ_private::dataFrameRailFlags() const
{
    const bool signedZ = config.getMode() == 1;
    uint32_t flags = 0;
    // The words of channel (unit) c's vector at v, first raw block at first
    // and second raw block at second; the raw blocks when taken.
    auto channel = [&](int c, int v, bool raw, int first, int second) {
        if (v >= 0) {
            flags |= payloadRail(v, true, true, c) | payloadRail(v + 2, true, true, c) |
                     payloadRail(v + 4, signedZ, true, c);
        }
        if (raw) {
            for (int i = 0; i < 4; ++i)
                flags |= payloadRail(first + 2 * i, false, false, c) | payloadRail(second + 2 * i, false, false, c);
        }
    };
    if (version == BROVA_FRAMED_3AXIS) {
        channel(0, 4, payloadLength > 10, 10, 20);
    } else if (version == BROVA_FRAMED_4CH && sensorSize > 0) {
        const int n = std::min(sensorSize, 4);
        for (int c = 0; c < n; ++c)
            channel(c, 4 + 6 * c, payloadLength > 28, 4 + 6 * n + 10 * c, 4 + 16 * n + 10 * c);
    } else if (version == BROVA_FRAMED_6AXIS) {
        for (int i = 0; i < 6; ++i)
            flags |= payloadRail(4 + 2 * i, i != 2 || signedZ, true, -1);
        for (int u = 0; u < 4; ++u)
            channel(u, -1, payloadLength > 16, 16 + 10 * u, 56 + 10 * u);
    }
    return flags;
}

int BrovaDAQ_private::getFlags(uint32_t* flags, int capacity)
{
    if (flags && capacity > 0)
        std::copy_n(frameFlags.begin() + stampsFirst, std::min(stampsCount, capacity), flags);
    return stampsCount;
}
