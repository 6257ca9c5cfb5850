// The two stream parsers of the acquisition engine and their frame state.
#include <QDebug>

#include <algorithm>
#include <array>
#include <iterator>

#include "brovadaq_p.h"

namespace {

// Parser states (shared numbering of both state machines).
enum : uint32_t {
    kHunting = 0,
    kHeaderKind = 1,
    k3AxisConfig = 0x18,
    k3AxisConfigAlt = 0x19,
    k3AxisX = 0x1A,
    k3AxisReadings = 0x20,
    k3AxisLastReading = 0x2F,
    k3AxisAux = 0x30,
    k3AxisChecksum = 0x32,
    k3AxisEnd = 0x33,
    k4ChConfig = 0x34,
    k4ChConfigAlt = 0x35,
    k4ChBlocks = 0x36,
    k4ChChecksum = 0x5E,
    k4ChEnd = 0x5F,
    k6AxisConfig = 0x60,
    k6AxisConfigAlt = 0x61,
    k6AxisFields = 0x62,
    k6AxisChecksum = 0x96,
    k6AxisEnd = 0x97,
    kAddrRegHigh = 0x99,
    kAddrRegLow = 0x9A,
    kAddrLength = 0x9B,
    kAddrPayload = 0x9D,
    kAddrChecksum = 0x9E,
    kAddrEnd = 0x9F
};

constexpr uint8_t kStreamHeader = 0x37;
constexpr uint8_t kAddressedHeader = 0xAA;
constexpr uint8_t kKind3Axis = 0x44;
constexpr uint8_t kKind4Channel = 0x5E;
constexpr uint8_t kKind6Axis = 0x5F;
constexpr uint16_t kRegisterData = 0x0708;
constexpr uint16_t kRegisterConfig = 0x0032;

// Fields in frame order, as member pointers.
constexpr int32_t BrovaPackage::*kReadings[8] = {&BrovaPackage::s1, &BrovaPackage::s2, &BrovaPackage::s3,
                                                 &BrovaPackage::s4, &BrovaPackage::s5, &BrovaPackage::s6,
                                                 &BrovaPackage::s7, &BrovaPackage::s8};
constexpr int32_t BrovaPackage6D::*kComponents[6] = {&BrovaPackage6D::Fx, &BrovaPackage6D::Fy, &BrovaPackage6D::Fz,
                                                     &BrovaPackage6D::Tx, &BrovaPackage6D::Ty, &BrovaPackage6D::Tz};
constexpr BrovaPackage BrovaPackage6D::*kUnits[4] = {&BrovaPackage6D::sensor1, &BrovaPackage6D::sensor2,
                                                     &BrovaPackage6D::sensor3, &BrovaPackage6D::sensor4};

bool isAddressedState(uint32_t s)
{
    return s >= kAddrRegHigh && s <= kAddrEnd && s != 0x9C;
}

int32_t asSigned(uint16_t w)
{
    return static_cast<int16_t>(w);
}

// Configuration reply codes to the two-bit fields, as the stream parsers map
// them: known codes by table, any other code by its own low two bits.
int speedIndexOfCode(int code)
{
    switch (code) {
    case 1: return 0;
    case 3: return 1;
    case 10: return 2;
    case 33: return 3;
    default: return code & 3;
    }
}

int filterIndexOfCode(int code)
{
    switch (code) {
    case 0: return 0;
    case 2: return 1;
    case 3: return 2;
    case 4: return 3;
    default: return code & 3;
    }
}

} // namespace

// A peek parses the bytes that the reader keeps for the next consuming run.
// Had the peek moved the frame on, that run would read them again from the
// middle of a frame: the frame lost, and a false checksum error for it. So a
// peek run puts the frame position back when it ends.
class BrovaDAQ_private::PeekGuard {
public:
    PeekGuard(BrovaDAQ_private& engine, bool peek) : e(peek ? &engine : nullptr)
    {
        if (e)
            at = *e;
    }
    ~PeekGuard()
    {
        if (e)
            static_cast<BrovaFramePosition&>(*e) = at;
    }
    PeekGuard(const PeekGuard&) = delete;
    PeekGuard& operator=(const PeekGuard&) = delete;

private:
    BrovaDAQ_private* e;
    BrovaFramePosition at;
};

// ---------------------------------------------------------------- parser helpers

void BrovaDAQ_private::setChannels(int count)
{
    // The channel list always holds at least sensorSize entries, so that every
    // per-channel operation finds the entry it indexes.
    sensorSize = count;
    ensureEntries(count);
}

void BrovaDAQ_private::ensureEntries(int count)
{
    // A frame cut off by close is continued after the next open, past the
    // states that set the channels up; its samples still need their entries.
    while (sensors.size() < count)
        sensors.append(BrovaSensor());
}

void BrovaDAQ_private::raiseFirstFrame()
{
    if (!firstFrameSeen) {
        firstFrameSeen = true;
        deviceResponded = true;
    }
}

uint16_t BrovaDAQ_private::payloadAt(int at) const
{
    return at < payloadLength ? payload[at] : 0;
}

int32_t BrovaDAQ_private::word(int at, bool isSigned) const
{
    const uint16_t w = static_cast<uint16_t>((payloadAt(at) << 8) + payloadAt(at + 1));
    return isSigned ? asSigned(w) : static_cast<int32_t>(w);
}

void BrovaDAQ_private::applyConfigReply()
{
    const int s = speedIndexOfCode(payloadAt(0));
    const int f = filterIndexOfCode(payloadAt(1));
    const int m = payloadAt(4) != 0 ? 1 : 0;
    // State 5 from a fresh default configuration, then the reply's fields.
    config.value = static_cast<uint8_t>((SensorConfig().value & 0xE0) | (s << 3) | (f << 1) | m);
}

void BrovaDAQ_private::applyStatusWord()
{
    const uint16_t status = static_cast<uint16_t>((payloadAt(2) << 8) | payloadAt(3));
    const uint8_t high = static_cast<uint8_t>(status >> 8);
    int state = 5;
    if (status & 0x0200)
        state = 1;
    if (status & 0x0100)
        state = 2;
    if (status & 0x0080)
        state = 3;
    if ((high & 0xE0) == 0x40)
        state = 6;
    if ((high & 0x1C) == 0x04)
        state = 0;
    else if ((high & 0x1C) == 0x08)
        state = 4;
    config.value = static_cast<uint8_t>((config.value & 0x1F) | (state << 5));
}

void BrovaDAQ_private::huntByte()
{
    if (currentByte == kAddressedHeader) {
        chksumSum = kAddressedHeader;
        parserState = kAddrRegHigh;
    } else if (currentByte == kStreamHeader && !isFramedVersion(version)) {
        // A framed device's kind comes from its identification; a 37 44 in
        // its payload must not turn it into a stream device.
        parserState = kHeaderKind;
    }
}

void BrovaDAQ_private::droppedHeader(uint8_t (&bytes)[3]) const
{
    // In the length state the register is in the word register and the
    // length is the byte at hand.
    bytes[0] = static_cast<uint8_t>(chksumRecv >> 8);
    bytes[1] = static_cast<uint8_t>(chksumRecv & 0xFF);
    bytes[2] = currentByte;
}

int BrovaDAQ_private::dataPayloadLength() const
{
    switch (version) {
    case BROVA_FRAMED_3AXIS: return 28;
    case BROVA_FRAMED_4CH: return 4 + 26 * (sensorSize > 0 && sensorSize < 4 ? sensorSize : 4);
    case BROVA_FRAMED_6AXIS: return 96;
    default: return 0;
    }
}

bool BrovaDAQ_private::endAddressedFrame(FrameEnd end)
{
    if (end != FrameEnd::Accepted) {
        ++(end == FrameEnd::Dropped ? parsed.framesMalformed : parsed.checksumFailures);
        chksumOK = false;
        return false;
    }
    // A data frame shorter than the layout of the kind opened is read as the
    // layout says (the fields it lacks as 0) but counted as malformed: that is
    // what a device of another kind, or a damaged frame, looks like.
    if (frameRegister == FrameRegister::Data && payloadLength < dataPayloadLength())
        ++parsed.framesMalformed;
    else
        ++parsed.framesAccepted;
    raiseFirstFrame();
    if (frameRegister == FrameRegister::ConfigReply)
        applyConfigReply();
    chksumOK = true;
    return frameRegister == FrameRegister::Data;
}

bool BrovaDAQ_private::payloadByte(uint8_t b)
{
    // The length byte is at most payloadCapacity (a longer frame is dropped
    // at its length byte). A length of 0 still takes one byte.
    payload[payloadIndex] = b;
    if (payloadIndex < payloadLength - 1) {
        ++payloadIndex;
        return false;
    }
    payloadIndex = 0;
    return true;
}

BrovaDAQ_private::FrameEnd BrovaDAQ_private::addressedByte()
{
    const uint8_t b = currentByte;
    switch (parserState) {
    case kAddrRegHigh:
        chksumSum = static_cast<uint16_t>(chksumSum + b);
        chksumRecv = static_cast<uint16_t>(b << 8);
        parserState = kAddrRegLow;
        break;
    case kAddrRegLow:
        chksumRecv = static_cast<uint16_t>(chksumRecv + b);
        chksumSum = static_cast<uint16_t>(chksumSum + b);
        // Frames of any other register (an identification reply, a damaged
        // header) are read to their end and checked, but carry nothing for
        // the stream: they are ignored.
        if (chksumRecv == kRegisterData)
            frameRegister = FrameRegister::Data;
        else if (chksumRecv == kRegisterConfig)
            frameRegister = FrameRegister::ConfigReply;
        else
            frameRegister = FrameRegister::Other;
        parserState = kAddrLength;
        break;
    case kAddrLength:
        if (b > payloadCapacity) {
            // No frame the library reads is that long: a stray 0xAA. Reading
            // up to 255 bytes as its payload would swallow the good frames
            // behind it.
            parserState = kHunting;
            return FrameEnd::Dropped;
        }
        payloadLength = b;
        payloadIndex = 0;
        chksumSum = static_cast<uint16_t>(chksumSum + b);
        parserState = kAddrPayload;
        break;
    case kAddrPayload:
        chksumSum = static_cast<uint16_t>(chksumSum + b);
        if (payloadByte(b))
            parserState = kAddrChecksum;
        break;
    case kAddrChecksum:
        chksumRecv = static_cast<uint16_t>(b << 8);
        parserState = kAddrEnd;
        break;
    case kAddrEnd:
        chksumRecv = static_cast<uint16_t>(chksumRecv + b);
        parserState = kHunting;
        return chksumRecv == chksumSum ? FrameEnd::Accepted : FrameEnd::Rejected;
    default:
        break;
    }
    return FrameEnd::None;
}

// ---------------------------------------------------------------- multi-channel parser

namespace {

// The states of the three-axis (0x18 ... 0x33) and four-channel (0x34 ...
// 0x5F) stream frames, as a table: what each state does with its byte and
// which state follows, in raw mode ([0]) and vector mode ([1]). Every 16-bit
// field takes a high-byte state and a low-byte state that stores it.
enum class StreamOp : uint8_t { None, Config3, Config4, High, Low, ChecksumHigh, ChecksumLow3, ChecksumLow4 };

struct StreamStep {
    StreamOp op = StreamOp::None;
    uint8_t channel = 0;
    uint8_t next = 0;
    bool isSigned = false;
    // The field a low-byte state stores. A high-byte state carries its low
    // state's field and next state as well (afterLow), so that a field whose
    // two bytes are both at hand is taken in one step.
    int32_t BrovaPackage::*field = nullptr;
    uint8_t afterLow = 0;
};

// Indexed by the mode bit of the frame's configuration byte, then the state.
using StreamSteps = std::array<std::array<StreamStep, 0x60>, 2>;

constexpr void setField(StreamSteps& t, uint32_t high, uint32_t low, int channel, int32_t BrovaPackage::*field,
                        bool isSigned, uint32_t next, int mode = -1)
{
    for (int m = 0; m < 2; ++m) {
        if (mode >= 0 && m != mode)
            continue;
        t[m][high] = {StreamOp::High, static_cast<uint8_t>(channel), static_cast<uint8_t>(low), isSigned, field,
                      static_cast<uint8_t>(next)};
        t[m][low] = {StreamOp::Low, static_cast<uint8_t>(channel), static_cast<uint8_t>(next), isSigned, field, 0};
    }
}

constexpr void setOp(StreamSteps& t, uint32_t state, StreamOp op, uint32_t next = 0)
{
    for (int m = 0; m < 2; ++m)
        t[m][state] = {op, 0, static_cast<uint8_t>(next), false, nullptr, 0};
}

constexpr StreamSteps makeStreamSteps()
{
    StreamSteps t{};
    using P = BrovaPackage;
    // Three-axis frame: config, X, Y, Z, aux, s1 ... s8, checksum.
    setOp(t, k3AxisConfig, StreamOp::Config3);
    setOp(t, k3AxisConfigAlt, StreamOp::Config3);
    setField(t, 0x1A, 0x1B, 0, &P::x, true, 0x1C);
    setField(t, 0x1C, 0x1D, 0, &P::y, true, 0x1E);
    setField(t, 0x1E, 0x1F, 0, &P::z, false, k3AxisAux);
    setField(t, 0x30, 0x31, 0, &P::aux, false, k3AxisReadings);
    for (int i = 0; i < 8; ++i) {
        const uint32_t high = k3AxisReadings + 2 * i;
        setField(t, high, high + 1, 0, kReadings[i], false, i == 7 ? k3AxisChecksum : high + 2);
    }
    setOp(t, k3AxisChecksum, StreamOp::ChecksumHigh, k3AxisEnd);
    setOp(t, k3AxisEnd, StreamOp::ChecksumLow3);

    // Four-channel frame: config, four channel blocks of ten states each from
    // 0x36, checksum. Raw blocks carry s1, s2, s3, s4, aux; vector blocks
    // x, y, z, aux (the s4 states are skipped). Channel 1's aux takes its high
    // byte in 0x49 and its low byte in 0x48.
    setOp(t, k4ChConfig, StreamOp::Config4);
    setOp(t, k4ChConfigAlt, StreamOp::Config4);
    for (int c = 0; c < 4; ++c) {
        const uint32_t base = k4ChBlocks + 10 * c;
        const uint32_t auxHigh = c == 1 ? 0x49 : base + 8;
        const uint32_t auxLow = c == 1 ? 0x48 : base + 9;
        const uint32_t after = c == 3 ? k4ChChecksum : base + 10;
        setField(t, base, base + 1, c, &P::s1, false, base + 2, 0);
        setField(t, base + 2, base + 3, c, &P::s2, false, base + 4, 0);
        setField(t, base + 4, base + 5, c, &P::s3, false, base + 6, 0);
        setField(t, base + 6, base + 7, c, &P::s4, false, auxHigh, 0);
        setField(t, base, base + 1, c, &P::x, true, base + 2, 1);
        setField(t, base + 2, base + 3, c, &P::y, true, base + 4, 1);
        setField(t, base + 4, base + 5, c, &P::z, false, auxHigh, 1);
        setField(t, auxHigh, auxLow, c, &P::aux, false, after);
    }
    setOp(t, k4ChChecksum, StreamOp::ChecksumHigh, k4ChEnd);
    setOp(t, k4ChEnd, StreamOp::ChecksumLow4);
    return t;
}

constexpr StreamSteps kStreamSteps = makeStreamSteps();

} // namespace

// The states that start and end a frame: the configuration byte and the
// checksum's low byte. The field states and the checksum's high byte are
// handled inline in smProcess.
void BrovaDAQ_private::streamFrameEdge(ChannelQueues& queues)
{
    const StreamStep& step = kStreamSteps[0][parserState];
    const uint8_t b = currentByte;
    switch (step.op) {
    case StreamOp::Config3:
        config.value = b;
        frameSamples[0].config.value = b;
        chksumSum = b;
        parserState = k3AxisX;
        return;
    case StreamOp::Config4:
        setChannels(4);
        config.value = b;
        for (BrovaPackage& p : frameSamples)
            p.config.value = b;
        chksumSum = b;
        parserState = k4ChBlocks;
        return;
    case StreamOp::ChecksumLow3: {
        chksumRecv = static_cast<uint16_t>(chksumRecv + b);
        BrovaPackage& p = frameSamples[0];
        if (chksumRecv == chksumSum) {
            const uint32_t flags = streamRailFlags(1, false);
            raiseFirstFrame();
            ensureEntries(1);
            p.saveInconsistent();
            p.setInvariant(sensors.at(0).offset);
            queues[0].push_back(p);
            ++parsed.framesAccepted;
            markFrame(flags);
            chksumOK = true;
        } else {
            qDebug("Checksum error!");
            ++parsed.checksumFailures;
            chksumOK = false;
        }
        p = 0;
        parserState = kHunting;
        return;
    }
    case StreamOp::ChecksumLow4:
        chksumRecv = static_cast<uint16_t>(chksumRecv + b);
        if (chksumRecv == chksumSum) {
            const uint32_t flags = streamRailFlags(4, (frameSamples[0].config.value & 1) != 0);
            for (BrovaPackage& p : frameSamples) {
                p.s5 = p.s1;
                p.s6 = p.s2;
                p.s7 = p.s3;
                p.s8 = p.s4;
            }
            raiseFirstFrame();
            ensureEntries(4);
            for (int c = 0; c < 4; ++c) {
                BrovaPackage& p = frameSamples[c];
                p.saveInconsistent();
                p.setInvariant(sensors.at(c).offset);
                queues[c].push_back(p);
            }
            ++parsed.framesAccepted;
            markFrame(flags);
            chksumOK = true;
        } else {
            ++parsed.checksumFailures;
            chksumOK = false;
        }
        for (BrovaPackage& p : frameSamples)
            p = 0;
        parserState = kHunting;
        return;
    default:
        return;  // handled inline in smProcess; no transition leads to None
    }
}

void BrovaDAQ_private::decodeDataFrame(ChannelQueues& queues)
{
    applyStatusWord();
    const bool signedZ = config.getMode() == 1;
    const uint32_t flags = dataFrameRailFlags();
    if (version == BROVA_FRAMED_3AXIS) {
        BrovaPackage p(version);
        p.config = config;
        p.x = p.x2 = word(4, true);
        p.y = p.y2 = word(6, true);
        p.z = p.z2 = word(8, signedZ);
        if (payloadLength > 10) {
            p.s1 = word(10, false);
            p.s2 = word(12, false);
            p.s3 = word(14, false);
            p.s4 = word(16, false);
            p.aux = word(18, false);
            p.s5 = word(20, false);
            p.s6 = word(22, false);
            p.s7 = word(24, false);
            p.s8 = word(26, false);
        }
        ensureEntries(1);
        p.saveInconsistent();
        p.setInvariant(sensors.at(0).offset);
        queues[0].push_back(p);
        markFrame(flags);
    } else if (version == BROVA_FRAMED_4CH && sensorSize > 0) {
        const int n = std::min(sensorSize, 4);
        BrovaPackage samples[4];
        for (int c = 0; c < n; ++c) {
            BrovaPackage& p = samples[c];
            p.config = config;
            p.version = version;
            p.x = p.x2 = word(4 + 6 * c, true);
            p.y = p.y2 = word(6 + 6 * c, true);
            p.z = p.z2 = word(8 + 6 * c, signedZ);
            if (payloadLength > 28) {
                const int first = 4 + 6 * n + 10 * c;
                const int second = 4 + 16 * n + 10 * c;
                p.s1 = word(first, false);
                p.s2 = word(first + 2, false);
                p.s3 = word(first + 4, false);
                p.s4 = word(first + 6, false);
                p.s5 = word(second, false);
                p.s6 = word(second + 2, false);
                p.s7 = word(second + 4, false);
                p.s8 = word(second + 6, false);
                p.aux = word(second + 8, false);
            }
        }
        for (int c = 0; c < n; ++c) {
            samples[c].saveInconsistent();
            samples[c].setInvariant(sensors.at(c).offset);
            queues[c].push_back(samples[c]);
        }
        markFrame(flags);
    }
    // Any other version: only the state field of config changed.
}

int BrovaDAQ_private::smProcess(ChannelQueues& queues, bool keep)
{
    const PeekGuard frameKept(*this, keep);
    int status = 0;
    takeBytes(keep, status);
    if (status == ReaderThread::StatusOverflow || status == ReaderThread::StatusSilent) {
        parsed.bytesUnparsed += static_cast<uint64_t>(rxBytes.size());
        clock.breakCount();
        return status;
    }
    size = rxBytes.size();
    const auto* bytes = reinterpret_cast<const uint8_t*>(rxBytes.constData());
    // The field states of the stream frames, the bulk of every frame, run on
    // local copies of the state, the sum and the word; every other state goes
    // through otherStateByte on the members.
    uint32_t state = parserState;
    uint16_t sum = chksumSum;
    uint16_t word16 = chksumRecv;
    // The mode bit of the frame being read picks the channel-block layout; it
    // only changes with a configuration byte, which otherStateByte takes.
    int mode = frameSamples[0].config.value & 1;
    // A field's word, complete: stored into the sample its step names.
    auto storeField = [&](const StreamStep& step) {
        frameSamples[step.channel].*step.field = step.isSigned ? asSigned(word16) : static_cast<int32_t>(word16);
    };
    const int n = size;
    for (int i = 0; i < n; ++i) {
        const uint8_t b = bytes[i];
        if (state >= k3AxisConfig && state <= k4ChEnd) {
            const StreamStep& step = kStreamSteps[mode][state];
            if (step.op == StreamOp::High) {
                if (i + 1 < n) {
                    // Both bytes of the field are here: high and low in one step.
                    const uint8_t low = bytes[++i];
                    word16 = static_cast<uint16_t>((b << 8) + low);
                    sum = static_cast<uint16_t>(sum + b + low);
                    storeField(step);
                    state = step.afterLow;
                } else {
                    word16 = static_cast<uint16_t>(b << 8);
                    sum = static_cast<uint16_t>(sum + b);
                    state = step.next;
                }
                continue;
            }
            if (step.op == StreamOp::Low) {
                word16 = static_cast<uint16_t>(word16 + b);
                sum = static_cast<uint16_t>(sum + b);
                storeField(step);
                state = step.next;
                continue;
            }
            if (step.op == StreamOp::ChecksumHigh) {  // the checksum is not summed
                word16 = static_cast<uint16_t>(b << 8);
                state = step.next;
                continue;
            }
        } else if (state == kAddrPayload) {
            sum = static_cast<uint16_t>(sum + b);
            if (payloadByte(b))
                state = kAddrChecksum;
            continue;
        }
        parserState = state;
        chksumSum = sum;
        chksumRecv = word16;
        currentByte = b;
        parseIndex = i;
        if (!otherStateByte(queues)) {
            // A six-axis header: the six-axis parser takes over.
            parsed.bytesUnparsed += static_cast<uint64_t>(n - i - 1);
            stampFrames();
            return -1;
        }
        state = parserState;
        sum = chksumSum;
        word16 = chksumRecv;
        mode = frameSamples[0].config.value & 1;
    }
    parserState = state;
    chksumSum = sum;
    chksumRecv = word16;
    if (n > 0)
        currentByte = bytes[n - 1];
    stampFrames();
    return static_cast<int>(queues[0].size());
}

// One byte in any state but a stream frame's field states. False when the run
// must end here (the six-axis header pair).
bool BrovaDAQ_private::otherStateByte(ChannelQueues& queues)
{
    const uint32_t st = parserState;
    if (st == kHunting) {
        huntByte();
    } else if (st == kHeaderKind) {
        if (currentByte == kKind3Axis) {
            version = BROVA_STREAM_3AXIS;
            setChannels(1);
            virtualSensor = false;
            frameSamples[0].version = BROVA_STREAM_3AXIS;
            parserState = k3AxisConfig;
        } else if (currentByte == kKind4Channel) {
            version = BROVA_STREAM_4CH;
            setChannels(4);
            virtualSensor = true;
            for (BrovaPackage& p : frameSamples)
                p.version = BROVA_STREAM_4CH;
            parserState = k4ChConfig;
        } else if (currentByte == kKind6Axis) {
            // A six-axis device: hand it over to the six-axis parser.
            version = BROVA_STREAM_6AXIS;
            raiseFirstFrame();
            setChannels(1);
            return false;
        } else {
            virtualSensor = false;
            parserState = kHunting;
        }
    } else if (st >= k3AxisConfig && st <= k4ChEnd) {
        streamFrameEdge(queues);
    } else if (isAddressedState(st)) {
        if (st == kAddrRegHigh && !firstFrameSeen) {
            if (version == BROVA_FRAMED_3AXIS) {
                setChannels(1);
            } else if (version == BROVA_FRAMED_4CH) {
                setChannels(4);
                virtualSensor = true;
            }
        }
        const FrameEnd end = addressedByte();
        if (end == FrameEnd::None)
            return true;
        if (endAddressedFrame(end))
            decodeDataFrame(queues);
        for (BrovaPackage& p : frameSamples)
            p = 0;
        if (end == FrameEnd::Dropped) {
            // Hunt again from the byte after the 0xAA. From state 0 three
            // bytes reach no further than a header or a configuration byte,
            // all states handled here.
            uint8_t again[3];
            droppedHeader(again);
            for (uint8_t b : again) {
                currentByte = b;
                if (!otherStateByte(queues))
                    return false;
            }
        }
    }
    // Any other state belongs to the six-axis parser: the byte is dropped.
    return true;
}

// ---------------------------------------------------------------- six-axis parser

// The configuration byte and the checksum of a six-axis frame; the field
// states are handled inline in smProcess6D.
void BrovaDAQ_private::streamFrameEdge6Axis(Queue6D& queue)
{
    BrovaPackage6D& s = frameSample6D;
    const uint8_t b = currentByte;
    switch (parserState) {
    case k6AxisConfig:
    case k6AxisConfigAlt:
        config.value = b;
        for (auto unit : kUnits)
            (s.*unit).config.value = b;
        chksumSum = b;
        parserState = k6AxisFields;
        return;
    case k6AxisChecksum:
        chksumRecv = static_cast<uint16_t>(b << 8);
        parserState = k6AxisEnd;
        return;
    case k6AxisEnd:
        chksumRecv = static_cast<uint16_t>(chksumRecv + b);
        if (chksumRecv == chksumSum) {
            const uint32_t flags = sixAxisStreamRailFlags();
            raiseFirstFrame();
            for (auto unit : kUnits)
                (s.*unit).saveInconsistent();
            s.setInvariant(sensor6D.offset);
            queue.push_back(s);
            ++parsed.framesAccepted;
            markFrame(flags);
            chksumOK = true;
        } else {
            ++parsed.checksumFailures;
            chksumOK = false;
        }
        for (auto unit : kUnits)
            s.*unit = 0;
        parserState = kHunting;
        return;
    default:
        return;  // field states are handled inline in smProcess6D
    }
}

void BrovaDAQ_private::decodeDataFrame6D(Queue6D& queue)
{
    applyStatusWord();
    BrovaPackage* frameUnits[] = {&frameSample6D.sensor1, &frameSample6D.sensor2, &frameSample6D.sensor3, &frameSample6D.sensor4};
    for (BrovaPackage* u : frameUnits) {
        u->config = config;
        u->version = version;
    }
    if (version != BROVA_FRAMED_6AXIS)
        return;
    const uint32_t flags = dataFrameRailFlags();

    BrovaPackage6D s;
    BrovaPackage* units[] = {&s.sensor1, &s.sensor2, &s.sensor3, &s.sensor4};
    for (BrovaPackage* u : units) {
        u->config = config;
        u->version = version;
    }
    s.Fx = word(4, true);
    s.Fy = word(6, true);
    s.Fz = word(8, config.getMode() == 1);
    s.Tx = word(10, true);
    s.Ty = word(12, true);
    s.Tz = word(14, true);
    if (payloadLength > 16) {
        for (int u = 0; u < 4; ++u) {
            const int first = 16 + 10 * u;
            const int second = 56 + 10 * u;
            units[u]->s1 = word(first, false);
            units[u]->s2 = word(first + 2, false);
            units[u]->s3 = word(first + 4, false);
            units[u]->s4 = word(first + 6, false);
            units[u]->s5 = word(second, false);
            units[u]->s6 = word(second + 2, false);
            units[u]->s7 = word(second + 4, false);
            units[u]->s8 = word(second + 6, false);
            units[u]->aux = word(second + 8, false);
        }
    }
    for (BrovaPackage* u : units)
        u->saveInconsistent();
    s.setInvariant(sensor6D.offset);
    queue.push_back(s);
    markFrame(flags);
}

int BrovaDAQ_private::smProcess6D(Queue6D& queue, bool keep)
{
    const PeekGuard frameKept(*this, keep);
    int status = 0;
    takeBytes(keep, status);
    // Unlike the multi-channel parser, bytes that came before the reader went
    // silent (status -4) are still parsed.
    if (status == ReaderThread::StatusStarted)
        return 0;
    if (status == ReaderThread::StatusOverflow) {
        parsed.bytesUnparsed += static_cast<uint64_t>(rxBytes.size());
        clock.breakCount();
        return -1;
    }
    size = rxBytes.size();
    const auto* bytes = reinterpret_cast<const uint8_t*>(rxBytes.constData());
    for (int i = 0; i < size; ++i) {
        currentByte = bytes[i];
        parseIndex = i;
        sixAxisByte(queue);
    }
    stampFrames();
    return static_cast<int>(queue.size());
}

void BrovaDAQ_private::sixAxisByte(Queue6D& queue)
{
    const uint32_t st = parserState;
    if (st == kHunting) {
        huntByte();
    } else if (st == kHeaderKind) {
        if (currentByte == kKind6Axis) {
            version = BROVA_STREAM_6AXIS;
            frameSample6D.sensor1.version = frameSample6D.sensor2.version = BROVA_STREAM_6AXIS;
            frameSample6D.sensor3.version = frameSample6D.sensor4.version = BROVA_STREAM_6AXIS;
            virtualSensor = true;
            setChannels(4);
            parserState = k6AxisConfig;
        } else {
            virtualSensor = false;
            parserState = kHunting;
        }
    } else if (st >= k6AxisFields && st < k6AxisChecksum) {
        // Field states: the high byte in the even state, the low in the odd.
        const uint8_t b = currentByte;
        chksumSum = static_cast<uint16_t>(chksumSum + b);
        if ((st & 1) == 0) {
            chksumRecv = static_cast<uint16_t>(b << 8);
        } else {
            chksumRecv = static_cast<uint16_t>(chksumRecv + b);
            // Fields in frame order: six components, four aux readings,
            // then four readings for each of the four units.
            const int field = static_cast<int>(st - (k6AxisFields + 1)) / 2;
            BrovaPackage6D& s6 = frameSample6D;
            if (field < 6)
                s6.*kComponents[field] = asSigned(chksumRecv);
            else if (field < 10)
                (s6.*kUnits[field - 6]).aux = chksumRecv;
            else
                (s6.*kUnits[(field - 10) / 4]).*kReadings[(field - 10) % 4] = chksumRecv;
        }
        parserState = st + 1;
    } else if (st >= k6AxisConfig && st <= k6AxisEnd) {
        streamFrameEdge6Axis(queue);
    } else if (isAddressedState(st)) {
        if (st == kAddrRegHigh && version == BROVA_FRAMED_6AXIS) {
            setChannels(4);
            virtualSensor = true;
        }
        const FrameEnd end = addressedByte();
        if (end != FrameEnd::None && endAddressedFrame(end))
            decodeDataFrame6D(queue);
        if (end == FrameEnd::Dropped) {
            // Hunt again from the byte after the 0xAA (as in otherStateByte).
            uint8_t again[3];
            droppedHeader(again);
            for (uint8_t b : again) {
                currentByte = b;
                sixAxisByte(queue);
            }
        }
    }
    // Any other state belongs to the multi-channel parser: dropped.
}
