// Wire format of the force sensors, as the devices speak it: stream frames of
// the older family, addressed frames of the framed family, and the requests a
// host sends. Pure functions, no I/O; the simulated devices are built on them
// and tests may use them to build exact frames.
//
// Conventions of every encoder here:
//  - every 16-bit field is written as the low 16 bits of the given int32 value,
//    high byte first (so -1 is FF FF, 32768 is 80 00);
//  - a stream frame's checksum is the 16-bit wrap-around sum of its bytes from
//    offset 2 (the configuration byte) to the last data byte, high byte first;
//  - an addressed frame's (and a request's) checksum is the 16-bit wrap-around
//    sum of all bytes before it, the header byte included, high byte first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brvsim {

using Bytes = std::vector<std::uint8_t>;

// Header bytes.
constexpr std::uint8_t kStreamHeader = 0x37;      // first byte of every stream frame
constexpr std::uint8_t kKindByte3Axis = 0x44;     // 37 44: three-axis frame
constexpr std::uint8_t kKindByte4Channel = 0x5E;  // 37 5E: four-channel frame
constexpr std::uint8_t kKindByte6Axis = 0x5F;     // 37 5F: six-axis frame
constexpr std::uint8_t kAddressedHeader = 0xAA;   // addressed frames and write requests
constexpr std::uint8_t kReadHeader = 0xAB;        // read requests

// Registers of the framed family.
constexpr std::uint16_t kRegIdent = 0x000A;   // identification block, 16 bytes
constexpr std::uint16_t kRegSpeed = 0x0032;   // 50: speed code; the configuration block is 50..55
constexpr std::uint16_t kRegFilter = 0x0033;  // 51: filter code
constexpr std::uint16_t kRegMode = 0x0036;    // 54: 0 raw mode, other values vector mode
constexpr std::uint16_t kReg55 = 0x0037;      // 55: written by the host with 10 or 0
constexpr std::uint16_t kRegData = 0x0708;    // data frames
constexpr std::size_t kIdentBlockLen = 16;
constexpr std::size_t kConfigBlockLen = 6;

// Frame lengths.
constexpr std::size_t kLen3Axis = 29;
constexpr std::size_t kLen4ChannelRaw = 45;
constexpr std::size_t kLen4ChannelVector = 37;
constexpr std::size_t kLen6Axis = 57;
constexpr std::size_t kPayloadV6 = 28;   // one three-axis channel
constexpr std::size_t kPayloadV7 = 108;  // four three-axis channels
constexpr std::size_t kPayloadV8 = 96;   // six-axis
constexpr std::size_t addressedLength(std::size_t payload) { return payload + 6; }

// Device kind codes.
constexpr int kKind3AxisStream = 68;
constexpr int kKind4ChannelStream = 94;
constexpr int kKind6AxisStream = 95;
constexpr int kKind3AxisFramed = 31;
constexpr int kKind4ChannelFramed = 34;
constexpr int kKind6AxisFramed = 64;

bool isStreamingKind(int kind);
bool isFramedKind(int kind);
bool isSixAxisKind(int kind);  // 95 and 64
int channelCount(int kind);    // three-axis channels (sensing units for six-axis): 1 or 4; 0 if unknown

// Rates in frames per second. Configuration byte speed field (bits 4..3):
// 0 → 1000, 1 → 333, 2 → 100, 3 → 30.
int rateForConfigByte(std::uint8_t config);
// Speed code of register 50: 1 → 1000, 3 → 333, 10 → 100, 33 → 30; 0 for any other code.
int rateForSpeedCode(std::uint8_t code);
bool isValidSpeedCode(std::uint8_t code);
bool isValidFilterCode(std::uint8_t code);  // 0..6

std::uint16_t checksum16(const std::uint8_t* data, std::size_t n);
inline std::uint16_t checksum16(const Bytes& b) { return checksum16(b.data(), b.size()); }
// Appends the low 16 bits of v, high byte first.
void putWord(Bytes& out, std::int32_t v);

// ---- stream frames -------------------------------------------------------

// Three-axis frame, 29 bytes: 37 44, config, X, Y, Z, aux, s1..s8, checksum.
struct Frame3Axis {
    std::uint8_t config = 0xB0;
    std::int32_t x = 0, y = 0, z = 0, aux = 0;
    std::array<std::int32_t, 8> s{};
};

// One channel of a four-channel frame. Raw mode sends s1..s4 and aux (10 bytes),
// vector mode sends x, y, z and aux (8 bytes).
struct Channel4 {
    std::array<std::int32_t, 4> s{};
    std::int32_t x = 0, y = 0, z = 0, aux = 0;
};

// Four-channel frame: 37 5E, config, four channel blocks, checksum. Bit 0 of
// config picks the block layout: 45 bytes in raw mode, 37 bytes in vector mode.
struct Frame4Channel {
    std::uint8_t config = 0xB0;
    std::array<Channel4, 4> ch{};
};

// Six-axis frame, 57 bytes: 37 5F, config, Fx Fy Fz Tx Ty Tz, aux of units 1..4,
// s1..s4 of units 1..4, checksum.
struct Frame6Axis {
    std::uint8_t config = 0xB0;
    std::array<std::int32_t, 6> ft{};  // Fx, Fy, Fz, Tx, Ty, Tz
    std::array<std::int32_t, 4> aux{};
    std::array<std::array<std::int32_t, 4>, 4> s{};  // s[unit][element]
};

// The kind byte defaults to the frame's own; another byte gives the same body
// under another header (a device answering as another kind).
Bytes encode3Axis(const Frame3Axis& f, std::uint8_t kindByte = kKindByte3Axis);
Bytes encode4Channel(const Frame4Channel& f, std::uint8_t kindByte = kKindByte4Channel);
Bytes encode6Axis(const Frame6Axis& f, std::uint8_t kindByte = kKindByte6Axis);

// ---- addressed frames and requests ---------------------------------------

// AA, register (big-endian), N, payload, checksum: N + 6 bytes. A payload
// longer than 255 bytes is cut to 255.
Bytes encodeAddressed(std::uint16_t reg, const Bytes& payload);
// AB, register, count, checksum: 6 bytes.
Bytes encodeReadRequest(std::uint16_t reg, std::uint8_t count);
// AA, register, n, data, checksum: n + 6 bytes (the same envelope as an addressed frame).
inline Bytes encodeWriteRequest(std::uint16_t reg, const Bytes& data) { return encodeAddressed(reg, data); }

// One sensing unit of a data frame payload: the vector, eight element
// readings, the auxiliary reading, and the word after s4 (unused by hosts).
struct UnitData {
    std::int32_t x = 0, y = 0, z = 0;
    std::array<std::int32_t, 8> s{};
    std::int32_t aux = 0;
    std::int32_t spare = 0;
};

// Data frame payloads (register 0x0708). Payload bytes 0..1 carry `lead`
// (the simulator puts its frame counter there), bytes 2..3 the status word.
// Version 6, 28 bytes: X Y Z, s1..s4, aux, s5..s8.
Bytes encodeDataPayloadV6(std::uint16_t status, const UnitData& u, std::uint16_t lead = 0);
// Version 7, 108 bytes: four vectors at 4..27, first raw blocks (s1..s4, spare)
// at 28..67, second raw blocks (s5..s8, aux) at 68..107.
Bytes encodeDataPayloadV7(std::uint16_t status, const std::array<UnitData, 4>& ch, std::uint16_t lead = 0);
// Version 8, 96 bytes: Fx Fy Fz Tx Ty Tz at 4..15, first raw blocks of the
// units (s1..s4, spare) at 16..55, second raw blocks (s5..s8, aux) at 56..95.
// The units' x, y, z are not sent.
Bytes encodeDataPayloadV8(std::uint16_t status, const std::array<std::int32_t, 6>& ft,
                          const std::array<UnitData, 4>& units, std::uint16_t lead = 0);
// Identification block, 16 bytes: byte 0 the kind code, bytes 8..14 the
// identification text (cut or NUL-padded to seven characters), the rest 0.
Bytes encodeIdentBlock(std::uint8_t kindCode, const std::string& text);

// ---- load to readings ----------------------------------------------------

// A three-axis load as the host is to read it: x, y, z of the sample.
struct Load3 {
    std::int32_t fx = 0, fy = 0, fz = 0;
};
// A six-axis load: force and torque as the host is to read them.
struct Load6 {
    std::int32_t Fx = 0, Fy = 0, Fz = 0, Tx = 0, Ty = 0, Tz = 0;
};

// Element readings s1..s4 for a load, centred on fz:
//   s1 = fz + ceil(fx/2),  s3 = fz - floor(fx/2),
//   s4 = fz + ceil(fy/2),  s2 = fz - floor(fy/2).
// Then s1 - s3 = fx, s4 - s2 = fy and s1 + s2 + s3 + s4 = 4 fz + (fx mod 2) + (fy mod 2),
// so the truncating mean (s1+s2+s3+s4)/4 is exactly fz. Each reading is clamped
// to 0..65535; loadFitsReadings() tells whether no clamping happens.
std::array<std::int32_t, 4> elementReadings(const Load3& load);
bool loadFitsReadings(const Load3& load);

// ---- requests ------------------------------------------------------------

struct Request {
    enum class Type { Read, Write };
    Type type = Type::Read;
    std::uint16_t reg = 0;
    std::uint8_t count = 0;  // bytes to read, or n of a write
    Bytes data;              // the written bytes (writes only)
};

// Byte-at-a-time parser of read and write requests. Bytes outside a request
// that are neither AA nor AB are skipped; a request with a bad checksum is
// dropped and hunting starts again at the byte after it.
class RequestParser {
public:
    std::optional<Request> feed(std::uint8_t byte);
    void reset();
    std::uint64_t rejected() const { return rejected_; }  // requests dropped for their checksum
    std::uint64_t skipped() const { return skipped_; }    // bytes skipped while hunting

private:
    enum class State { Hunt, RegHi, RegLo, Count, Data, SumHi, SumLo };
    State state_ = State::Hunt;
    Request cur_;
    std::uint16_t sum_ = 0;
    std::uint16_t recv_ = 0;
    std::uint64_t rejected_ = 0;
    std::uint64_t skipped_ = 0;
};

}  // namespace brvsim
