#include "brvsim_wire.h"

#include <algorithm>

namespace brvsim {

bool isStreamingKind(int kind) {
    return kind == kKind3AxisStream || kind == kKind4ChannelStream || kind == kKind6AxisStream;
}

bool isFramedKind(int kind) {
    return kind == kKind3AxisFramed || kind == kKind4ChannelFramed || kind == kKind6AxisFramed;
}

bool isSixAxisKind(int kind) { return kind == kKind6AxisStream || kind == kKind6AxisFramed; }

int channelCount(int kind) {
    switch (kind) {
    case kKind3AxisStream:
    case kKind3AxisFramed:
        return 1;
    case kKind4ChannelStream:
    case kKind4ChannelFramed:
    case kKind6AxisStream:
    case kKind6AxisFramed:
        return 4;
    default:
        return 0;
    }
}

int rateForConfigByte(std::uint8_t config) {
    static constexpr int rates[4] = {1000, 333, 100, 30};
    return rates[(config >> 3) & 3];
}

int rateForSpeedCode(std::uint8_t code) {
    switch (code) {
    case 1: return 1000;
    case 3: return 333;
    case 10: return 100;
    case 33: return 30;
    default: return 0;
    }
}

bool isValidSpeedCode(std::uint8_t code) { return rateForSpeedCode(code) != 0; }
bool isValidFilterCode(std::uint8_t code) { return code <= 6; }

std::uint16_t checksum16(const std::uint8_t* data, std::size_t n) {
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum = static_cast<std::uint16_t>(sum + data[i]);
    return sum;
}

void putWord(Bytes& out, std::int32_t v) {
    const auto w = static_cast<std::uint16_t>(static_cast<std::uint32_t>(v) & 0xFFFFu);
    out.push_back(static_cast<std::uint8_t>(w >> 8));
    out.push_back(static_cast<std::uint8_t>(w & 0xFF));
}

namespace {

// Appends the stream checksum: sum from offset 2 (the configuration byte) on.
void finishStreamFrame(Bytes& f) {
    putWord(f, checksum16(f.data() + 2, f.size() - 2));
}

Bytes streamStart(std::uint8_t kindByte, std::uint8_t config, std::size_t len) {
    Bytes f;
    f.reserve(len);
    f.push_back(kStreamHeader);
    f.push_back(kindByte);
    f.push_back(config);
    return f;
}

}  // namespace

Bytes encode3Axis(const Frame3Axis& fr, std::uint8_t kindByte) {
    Bytes f = streamStart(kindByte, fr.config, kLen3Axis);
    putWord(f, fr.x);
    putWord(f, fr.y);
    putWord(f, fr.z);
    putWord(f, fr.aux);
    for (auto s : fr.s) putWord(f, s);
    finishStreamFrame(f);
    return f;
}

Bytes encode4Channel(const Frame4Channel& fr, std::uint8_t kindByte) {
    const bool vector = (fr.config & 1) != 0;
    Bytes f = streamStart(kindByte, fr.config, vector ? kLen4ChannelVector : kLen4ChannelRaw);
    for (const auto& c : fr.ch) {
        if (vector) {
            putWord(f, c.x);
            putWord(f, c.y);
            putWord(f, c.z);
        } else {
            for (auto s : c.s) putWord(f, s);
        }
        putWord(f, c.aux);
    }
    finishStreamFrame(f);
    return f;
}

Bytes encode6Axis(const Frame6Axis& fr, std::uint8_t kindByte) {
    Bytes f = streamStart(kindByte, fr.config, kLen6Axis);
    for (auto v : fr.ft) putWord(f, v);
    for (auto a : fr.aux) putWord(f, a);
    for (const auto& unit : fr.s)
        for (auto s : unit) putWord(f, s);
    finishStreamFrame(f);
    return f;
}

Bytes encodeAddressed(std::uint16_t reg, const Bytes& payload) {
    const std::size_t n = std::min<std::size_t>(payload.size(), 255);
    Bytes f;
    f.reserve(n + 6);
    f.push_back(kAddressedHeader);
    putWord(f, reg);
    f.push_back(static_cast<std::uint8_t>(n));
    f.insert(f.end(), payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(n));
    putWord(f, checksum16(f));
    return f;
}

Bytes encodeReadRequest(std::uint16_t reg, std::uint8_t count) {
    Bytes f{kReadHeader};
    putWord(f, reg);
    f.push_back(count);
    putWord(f, checksum16(f));
    return f;
}

namespace {

Bytes payloadStart(std::uint16_t lead, std::uint16_t status, std::size_t len) {
    Bytes p;
    p.reserve(len);
    putWord(p, lead);
    putWord(p, status);
    return p;
}

}  // namespace

Bytes encodeDataPayloadV6(std::uint16_t status, const UnitData& u, std::uint16_t lead) {
    Bytes p = payloadStart(lead, status, kPayloadV6);
    putWord(p, u.x);
    putWord(p, u.y);
    putWord(p, u.z);
    for (int i = 0; i < 4; ++i) putWord(p, u.s[i]);
    putWord(p, u.aux);
    for (int i = 4; i < 8; ++i) putWord(p, u.s[i]);
    return p;
}

Bytes encodeDataPayloadV7(std::uint16_t status, const std::array<UnitData, 4>& ch, std::uint16_t lead) {
    Bytes p = payloadStart(lead, status, kPayloadV7);
    for (const auto& c : ch) {
        putWord(p, c.x);
        putWord(p, c.y);
        putWord(p, c.z);
    }
    for (const auto& c : ch) {
        for (int i = 0; i < 4; ++i) putWord(p, c.s[i]);
        putWord(p, c.spare);
    }
    for (const auto& c : ch) {
        for (int i = 4; i < 8; ++i) putWord(p, c.s[i]);
        putWord(p, c.aux);
    }
    return p;
}

Bytes encodeDataPayloadV8(std::uint16_t status, const std::array<std::int32_t, 6>& ft,
                          const std::array<UnitData, 4>& units, std::uint16_t lead) {
    Bytes p = payloadStart(lead, status, kPayloadV8);
    for (auto v : ft) putWord(p, v);
    for (const auto& u : units) {
        for (int i = 0; i < 4; ++i) putWord(p, u.s[i]);
        putWord(p, u.spare);
    }
    for (const auto& u : units) {
        for (int i = 4; i < 8; ++i) putWord(p, u.s[i]);
        putWord(p, u.aux);
    }
    return p;
}

Bytes encodeIdentBlock(std::uint8_t kindCode, const std::string& text) {
    Bytes p(kIdentBlockLen, 0);
    p[0] = kindCode;
    for (std::size_t i = 0; i < 7 && i < text.size(); ++i) p[8 + i] = static_cast<std::uint8_t>(text[i]);
    return p;
}

namespace {

std::int32_t floorHalf(std::int32_t v) { return (v - (v & 1)) / 2; }
std::int32_t clampReading(std::int64_t v) { return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, 0, 65535)); }

}  // namespace

std::array<std::int32_t, 4> elementReadings(const Load3& l) {
    const std::int64_t fz = l.fz;
    const std::int32_t xLow = floorHalf(l.fx), yLow = floorHalf(l.fy);
    const std::int32_t xHigh = l.fx - xLow, yHigh = l.fy - yLow;
    return {clampReading(fz + xHigh), clampReading(fz - yLow), clampReading(fz - xLow), clampReading(fz + yHigh)};
}

bool loadFitsReadings(const Load3& l) {
    if (l.fx < -65535 || l.fx > 65535 || l.fy < -65535 || l.fy > 65535) return false;
    const std::int64_t fz = l.fz;
    const std::int32_t xLow = floorHalf(l.fx), yLow = floorHalf(l.fy);
    const std::int64_t v[4] = {fz + (l.fx - xLow), fz - yLow, fz - xLow, fz + (l.fy - yLow)};
    for (auto s : v)
        if (s < 0 || s > 65535) return false;
    return true;
}

std::optional<Request> RequestParser::feed(std::uint8_t b) {
    switch (state_) {
    case State::Hunt:
        if (b == kAddressedHeader || b == kReadHeader) {
            cur_ = Request{};
            cur_.type = b == kReadHeader ? Request::Type::Read : Request::Type::Write;
            sum_ = b;
            state_ = State::RegHi;
        } else {
            ++skipped_;
        }
        return std::nullopt;
    case State::RegHi:
        cur_.reg = static_cast<std::uint16_t>(b << 8);
        sum_ = static_cast<std::uint16_t>(sum_ + b);
        state_ = State::RegLo;
        return std::nullopt;
    case State::RegLo:
        cur_.reg = static_cast<std::uint16_t>(cur_.reg | b);
        sum_ = static_cast<std::uint16_t>(sum_ + b);
        state_ = State::Count;
        return std::nullopt;
    case State::Count:
        cur_.count = b;
        sum_ = static_cast<std::uint16_t>(sum_ + b);
        state_ = (cur_.type == Request::Type::Write && b > 0) ? State::Data : State::SumHi;
        return std::nullopt;
    case State::Data:
        cur_.data.push_back(b);
        sum_ = static_cast<std::uint16_t>(sum_ + b);
        if (cur_.data.size() == cur_.count) state_ = State::SumHi;
        return std::nullopt;
    case State::SumHi:
        recv_ = static_cast<std::uint16_t>(b << 8);
        state_ = State::SumLo;
        return std::nullopt;
    case State::SumLo:
        recv_ = static_cast<std::uint16_t>(recv_ | b);
        state_ = State::Hunt;
        if (recv_ != sum_) {
            ++rejected_;
            return std::nullopt;
        }
        return std::move(cur_);
    }
    return std::nullopt;
}

void RequestParser::reset() {
    state_ = State::Hunt;
    cur_ = Request{};
}

}  // namespace brvsim
