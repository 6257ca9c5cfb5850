#include "brovadaq.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QSerialPort>
#include <QThread>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "allocators.h"
#include "arith.h"
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

constexpr int kOpenHandshakeReads = 40;
constexpr int kOpenHandshakePauseMs = 25;
constexpr int kVirtualAttempts = 21;
constexpr int kVirtualPauseMs = 30;
constexpr int kZeroSettleMs = 33;  // one sample period at 30 samples per second

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

bool isFramedVersion(brova_version v)
{
    return v == BROVA_FRAMED_3AXIS || v == BROVA_FRAMED_4CH || v == BROVA_FRAMED_6AXIS;
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

// The frame's checksum: 16-bit wrap-around sum, appended high byte first.
void appendChecksum(unsigned char* frame, int length)
{
    uint16_t sum = 0;
    for (int i = 0; i < length; ++i)
        sum = static_cast<uint16_t>(sum + frame[i]);
    frame[length] = static_cast<unsigned char>(sum >> 8);
    frame[length + 1] = static_cast<unsigned char>(sum & 0xFF);
}

} // namespace

// ---------------------------------------------------------------- facade

BrovaDAQ::BrovaDAQ() : d(new BrovaDAQ_private) {}
BrovaDAQ::~BrovaDAQ() { delete d; }
bool BrovaDAQ::open(BPort port, bool flag, int baudRate) { return d->open(port, flag, baudRate); }
void BrovaDAQ::close() { d->close(); }
bool BrovaDAQ::isOpen() { return d->isOpen(); }
brova_version BrovaDAQ::getVersion() { return d->getVersion(); }
int BrovaDAQ::getSize() { return d->getSize(); }
int BrovaDAQ::getSensorSize() { return d->getSensorSize(); }
int BrovaDAQ::getBytesPerRead() { return d->getBytesPerRead(); }
bool BrovaDAQ::isChksumOK() { return d->isChksumOK(); }
char* BrovaDAQ::getPortName() { return d->getPortName(); }
bool BrovaDAQ::isVirtual() { return d->isVirtual(); }
SensorConfig BrovaDAQ::getConfig() { return d->getConfig(); }
bool BrovaDAQ::sendConfig(SensorConfig config)
{
    QThread::msleep(20);
    return d->sendConfig(config);
}
int BrovaDAQ::read(BrovaPackage& pkg, int channel, bool peek) { return d->read(pkg, channel, peek); }
int BrovaDAQ::readAll(BrovaPackage*& arr, bool peek) { return d->readAll(arr, peek); }
int BrovaDAQ::readArray(int (&values)[8], bool peek) { return d->readArray(values, peek); }
int BrovaDAQ::readVirtual(BrovaPackage (&pkgs)[16], bool peek) { return d->readVirtual(pkgs, peek); }
int BrovaDAQ::readVirtualArray(int (&values)[128], bool peek) { return d->readVirtualArray(values, peek); }
int BrovaDAQ::read6D(BrovaPackage6D& pkg, bool peek) { return d->read6D(pkg, peek); }
int BrovaDAQ::readAll6D(BrovaPackage6D*& arr, bool peek) { return d->readAll6D(arr, peek); }
int BrovaDAQ::read6Axis(int (&values)[6], bool peek) { return d->read6Axis(values, peek); }
int BrovaDAQ::readAll6Axis(int*& values, bool peek) { return d->readAll6Axis(values, peek); }
bool BrovaDAQ::zero(int channel) { return d->zero(channel); }
void BrovaDAQ::zeroAll() { d->zeroAll(); }
bool BrovaDAQ::unzero(int channel) { return d->unzero(channel); }
void BrovaDAQ::unzeroAll() { d->unzeroAll(); }
BrovaPackage BrovaDAQ::getOffset(int channel) { return d->getOffset(channel); }

// ---------------------------------------------------------------- lifecycle

BrovaDAQ_private::BrovaDAQ_private()
    : parserState(kHunting),
      currentByte(0),
      readerThread(nullptr),
      baudRate(1000000),
      portName{},
      payloadIndex(0),
      payloadLength(0),
      payload{},
      chksumSum(0),
      chksumRecv(0),
      version(BROVA_NONE),
      config(),
      chksumOK(true),
      size(0),
      sensorSize(0),
      firstFrameSeen(false),
      deviceResponded(false),
      virtualSensor(false),
      frameRegister(FrameRegister::Data)
{
}

// The reader thread's own destructor stops and joins a running thread.
BrovaDAQ_private::~BrovaDAQ_private() = default;

bool BrovaDAQ_private::open(BPort port, bool flag, int rate)
{
    firstFrameSeen = false;
    deviceResponded = false;
    baudRate = rate;
    if (port.portName[0] == '\0')
        return false;

    const QString name = QString::fromLocal8Bit(port.portName, static_cast<int>(qstrnlen(port.portName, BPort::textSize)));
    const int kindLength = static_cast<int>(qstrnlen(port.deviceName, 2));
    const int kind = QString::fromLatin1(port.deviceName, kindLength).toInt(nullptr, 10);

    brova_version framed = BROVA_NONE;
    if (kind == 34)
        framed = BROVA_FRAMED_4CH;
    else if (kind == 64)
        framed = BROVA_FRAMED_6AXIS;
    else if (kind == 31)
        framed = BROVA_FRAMED_3AXIS;
    if (framed != BROVA_NONE) {
        version = framed;
        bool answered = false;
        const QByteArray local = name.toLocal8Bit();
        config = configure170(local.constData(), answered, flag);
        if (!answered)
            return false;
    }

    const bool started = readerThread.startRun(name, baudRate);
    virtualSensor = false;
    sensors.append(BrovaSensor());

    for (int attempt = 0; attempt < kOpenHandshakeReads; ++attempt) {
        BrovaPackage scratch;
        read(scratch, 0, true);
        QThread::msleep(kOpenHandshakePauseMs);
        if (deviceResponded)
            break;
    }
    if (version == BROVA_STREAM_3AXIS)
        config = getConfig();
    if (deviceResponded)
        return started;
    close();
    return false;
}

void BrovaDAQ_private::close()
{
    firstFrameSeen = false;
    deviceResponded = false;
    virtualSensor = false;
    readerThread.close();
    readerThread.wait();
    sensorSize = 0;
    rxBytes.clear();
    sensors.clear();
}

bool BrovaDAQ_private::isOpen()
{
    return readerThread.isOpened();
}

brova_version BrovaDAQ_private::getVersion()
{
    return version;
}

int BrovaDAQ_private::getSize()
{
    return size;
}

int BrovaDAQ_private::getSensorSize()
{
    return sensorSize;
}

int BrovaDAQ_private::getBytesPerRead()
{
    switch (version) {
    case BROVA_STREAM_3AXIS: return 29;
    case BROVA_STREAM_4CH: return 45;
    case BROVA_STREAM_6AXIS: return 57;
    default: return 1;
    }
}

bool BrovaDAQ_private::isChksumOK()
{
    return chksumOK;
}

char* BrovaDAQ_private::getPortName()
{
    // A name of 25 bytes or more is cut to 24 bytes and the NUL.
    const QByteArray local = readerThread.getPortName().toLocal8Bit();
    const size_t n = std::min<size_t>(static_cast<size_t>(local.size()), BPort::textSize - 1);
    std::memcpy(portName, local.constData(), n);
    portName[n] = '\0';
    return portName;
}

bool BrovaDAQ_private::isVirtual()
{
    for (int attempt = 0; attempt < kVirtualAttempts; ++attempt) {
        BrovaPackage pkg;
        if (read(pkg, 0, true) > 0)
            break;
        if (attempt + 1 < kVirtualAttempts)
            QThread::msleep(kVirtualPauseMs);
    }
    return virtualSensor;
}

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

int32_t BrovaDAQ_private::word(int at, bool isSigned) const
{
    const uint16_t w = static_cast<uint16_t>((payload[at] << 8) + payload[at + 1]);
    return isSigned ? asSigned(w) : static_cast<int32_t>(w);
}

void BrovaDAQ_private::applyConfigReply()
{
    const int s = speedIndexOfCode(payload[0]);
    const int f = filterIndexOfCode(payload[1]);
    const int m = payload[4] != 0 ? 1 : 0;
    // State 5 from a fresh default configuration, then the reply's fields.
    config.value = static_cast<uint8_t>((SensorConfig().value & 0xE0) | (s << 3) | (f << 1) | m);
}

void BrovaDAQ_private::applyStatusWord()
{
    const uint16_t status = static_cast<uint16_t>((payload[2] << 8) | payload[3]);
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
    } else if (currentByte == kStreamHeader) {
        parserState = kHeaderKind;
    }
}

bool BrovaDAQ_private::endAddressedFrame(FrameEnd end)
{
    if (end != FrameEnd::Accepted) {
        chksumOK = false;
        return false;
    }
    raiseFirstFrame();
    if (frameRegister == FrameRegister::ConfigReply)
        applyConfigReply();
    chksumOK = true;
    return frameRegister == FrameRegister::Data;
}

bool BrovaDAQ_private::payloadByte(uint8_t b)
{
    // A length byte can announce up to 255 bytes; what does not fit the store
    // is summed but not stored, and the frame is rejected at its end. A length
    // of 0 still takes one byte.
    if (payloadIndex < payloadCapacity)
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
        return chksumRecv == chksumSum && payloadLength <= payloadCapacity ? FrameEnd::Accepted : FrameEnd::Rejected;
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
            raiseFirstFrame();
            ensureEntries(1);
            p.saveInconsistent();
            p.setInvariant(sensors.at(0).offset);
            queues[0].push_back(p);
            chksumOK = true;
        } else {
            qDebug("Checksum error!");
            chksumOK = false;
        }
        p = 0;
        parserState = kHunting;
        return;
    }
    case StreamOp::ChecksumLow4:
        chksumRecv = static_cast<uint16_t>(chksumRecv + b);
        if (chksumRecv == chksumSum) {
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
            chksumOK = true;
        } else {
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
    }
    // Any other version: only the state field of config changed.
}

int BrovaDAQ_private::smProcess(ChannelQueues& queues, bool keep)
{
    int status = 0;
    rxBytes = readerThread.getBuffer(keep, status);
    if (status == ReaderThread::StatusOverflow || status == ReaderThread::StatusSilent)
        return status;
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
        if (!otherStateByte(queues))
            return -1;  // a six-axis header: the six-axis parser takes over
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
            raiseFirstFrame();
            for (auto unit : kUnits)
                (s.*unit).saveInconsistent();
            s.setInvariant(sensor6D.offset);
            queue.push_back(s);
            chksumOK = true;
        } else {
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
}

int BrovaDAQ_private::smProcess6D(Queue6D& queue, bool keep)
{
    int status = 0;
    rxBytes = readerThread.getBuffer(keep, status);
    // Unlike the multi-channel parser, bytes that came before the reader went
    // silent (status -4) are still parsed.
    if (status == ReaderThread::StatusStarted)
        return 0;
    if (status == ReaderThread::StatusOverflow)
        return -1;
    size = rxBytes.size();
    const auto* bytes = reinterpret_cast<const uint8_t*>(rxBytes.constData());
    for (int i = 0; i < size; ++i) {
        currentByte = bytes[i];
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
        }
        // Any other state belongs to the multi-channel parser: dropped.
    }
    return static_cast<int>(queue.size());
}

// ---------------------------------------------------------------- three-axis reads

// The queues of one read call. They are emptied at the start of every call
// and keep their storage, so that a call allocates nothing once the engine
// has seen its largest burst (bounded by the reader's 100000-byte cap). No
// call uses them while another read call that it made still does.
BrovaDAQ_private::ChannelQueues& BrovaDAQ_private::freshQueues()
{
    for (auto& q : channelQueues)
        q.clear();
    return channelQueues;
}

BrovaDAQ_private::Queue6D& BrovaDAQ_private::freshQueue6D()
{
    queue6D.clear();
    return queue6D;
}

int BrovaDAQ_private::read(BrovaPackage& pkg, int channel, bool peek)
{
    if (!isOpen())
        return -2;
    if (channel < 0 || channel >= maxChannels || (sensorSize != 0 && channel >= sensorSize))
        return -3;
    ChannelQueues& queues = freshQueues();
    const int status = smProcess(queues, peek);
    if (!queues[channel].empty())
        pkg = queues[channel].back();
    return status;
}

int BrovaDAQ_private::readVirtual(BrovaPackage (&pkgs)[maxChannels], bool peek)
{
    if (!isOpen())
        return -2;
    ChannelQueues& queues = freshQueues();
    const int status = smProcess(queues, peek);
    if (!queues[0].empty() && sensorSize > 0) {
        const int channels = std::min(sensorSize, static_cast<int>(maxChannels));
        for (int c = 0; c < channels; ++c) {
            if (!queues[c].empty())
                pkgs[c] = queues[c].back();
        }
    }
    return status;
}

int BrovaDAQ_private::readAll(BrovaPackage*& arr, bool peek)
{
    if (!isOpen())
        return -2;
    ChannelQueues& queues = freshQueues();
    const int status = smProcess(queues, peek);
    if (status == -1)
        return -1;
    const int n = static_cast<int>(queues[0].size());
    // Samples of a frame are made for at least one channel.
    const int channels = std::max(1, std::min(sensorSize, static_cast<int>(maxChannels)));
    if (n == 0 || !brova::alloc::reallocPackArray(arr, channels * n)) {
        // No sample (or no memory for them): the caller's array is released.
        delete[] arr;
        arr = nullptr;
        return 0;
    }
    for (int c = 0; c < channels; ++c) {
        const int taken = std::min(n, static_cast<int>(queues[c].size()));
        for (int k = 0; k < taken; ++k)
            arr[c * n + k] = queues[c][k];
    }
    return n;
}

int BrovaDAQ_private::readArray(int (&values)[8], bool peek)
{
    if (!isOpen())
        return -2;
    BrovaPackage p;
    ChannelQueues& queues = freshQueues();
    const int status = smProcess(queues, peek);
    if (!queues[0].empty())
        p = queues[0].back();
    const int32_t out[8] = {p.s1, p.s2, p.s3, p.s4, p.x, p.y, p.z, p.aux};
    std::copy(std::begin(out), std::end(out), values);
    return status;
}

int BrovaDAQ_private::readVirtualArray(int (&values)[128], bool peek)
{
    BrovaPackage pkgs[maxChannels];
    const int status = readVirtual(pkgs, peek);
    if (status == -2)
        return -2;
    const int channels = std::min(getSensorSize(), static_cast<int>(maxChannels));
    for (int c = 0; c < channels; ++c) {
        const BrovaPackage& p = pkgs[c];
        const int32_t out[8] = {p.x, p.y, p.z, p.s1, p.s2, p.s3, p.s4, p.aux};
        std::copy(std::begin(out), std::end(out), values + 8 * c);
    }
    return status;
}

// ---------------------------------------------------------------- six-axis reads

int BrovaDAQ_private::read6D(BrovaPackage6D& pkg, bool peek)
{
    if (!isOpen())
        return -2;
    Queue6D& queue = freshQueue6D();
    const int r = smProcess6D(queue, peek);
    if (!queue.empty())
        pkg = queue.back();
    return r;
}

int BrovaDAQ_private::readAll6D(BrovaPackage6D*& arr, bool peek)
{
    if (!isOpen())
        return -2;
    Queue6D& queue = freshQueue6D();
    const int r = smProcess6D(queue, peek);
    if (r == -1)
        return -1;
    const int n = static_cast<int>(queue.size());
    if (n == 0 || !brova::alloc::reallocPackArray(arr, n)) {
        delete[] arr;
        arr = nullptr;
        return 0;
    }
    std::copy(queue.begin(), queue.end(), arr);
    return r;
}

BrovaPackage BrovaDAQ_private::calc6axisVector(BrovaPackage& p1, BrovaPackage& p2, BrovaPackage& p3, BrovaPackage& p4)
{
    using brova::arith::add;
    BrovaPackage force;
    force.x = static_cast<int32_t>(add(add(p1.x, p2.x), add(p3.x, p4.x)) * 0.25);
    force.y = static_cast<int32_t>(add(add(p1.y, p2.y), add(p3.y, p4.y)) * 0.25);
    force.z = static_cast<int32_t>(add(add(p1.z, p2.z), add(p3.z, p4.z)) * 0.0625);
    return force;
}

BrovaPackage BrovaDAQ_private::calc6axisTorque(BrovaPackage& p1, BrovaPackage& p2, BrovaPackage& p3, BrovaPackage& p4)
{
    using brova::arith::add;
    using brova::arith::sub;
    BrovaPackage torque;
    torque.x = static_cast<int32_t>(sub(p1.z, p3.z) * 0.5);
    torque.y = static_cast<int32_t>(sub(p4.z, p2.z) * 0.5);
    torque.z = static_cast<int32_t>(sub(sub(add(p3.y, p4.x), p1.x), p2.x) * 0.25);
    return torque;
}

void BrovaDAQ_private::writeWrench(BrovaPackage& p1, BrovaPackage& p2, BrovaPackage& p3, BrovaPackage& p4, int* out)
{
    const BrovaPackage f = calc6axisVector(p1, p2, p3, p4);
    const BrovaPackage t = calc6axisTorque(p1, p2, p3, p4);
    const int six[6] = {f.x, f.y, f.z, t.x, t.y, t.z};
    std::copy(std::begin(six), std::end(six), out);
}

int BrovaDAQ_private::read6Axis(int (&values)[6], bool peek)
{
    if (!isOpen())
        return -2;
    if (sensorSize != 4)
        return -3;
    BrovaPackage pkgs[maxChannels];
    const int r = readVirtual(pkgs, peek);
    if (r > 0)
        writeWrench(pkgs[0], pkgs[1], pkgs[2], pkgs[3], values);
    return r;
}

int BrovaDAQ_private::readAll6Axis(int*& values, bool peek)
{
    if (!isOpen())
        return -2;
    if (sensorSize != 4)
        return -3;
    delete[] values;
    values = nullptr;
    BrovaPackage* pkgs = nullptr;
    int r = readAll(pkgs, peek);
    if (r == -1 || r == -2) {
        // -2: the reader ended by itself since the test above; values stays
        // null, as for a parse that did not run.
        delete[] pkgs;
        return r;
    }
    // Four channels of r samples each are needed; a stream whose kind changed
    // during the parse may have left fewer: then no instant is complete.
    if (r > 0 && reinterpret_cast<const uint64_t*>(pkgs)[-1] < static_cast<uint64_t>(4 * r))
        r = 0;
    values = new (std::nothrow) int[static_cast<size_t>(6 * std::max(r, 0))];
    if (!values)
        r = 0;
    for (int k = 0; k < r; ++k)
        writeWrench(pkgs[k], pkgs[r + k], pkgs[2 * r + k], pkgs[3 * r + k], values + 6 * k);
    delete[] pkgs;
    return r;
}

// ---------------------------------------------------------------- configuration exchange

SensorConfig BrovaDAQ_private::getConfig()
{
    BrovaPackage sample;
    BrovaPackage6D sample6D;
    if (version == BROVA_STREAM_3AXIS || version == BROVA_STREAM_4CH)
        read(sample, 0, true);
    else if (version == BROVA_STREAM_6AXIS)
        read6D(sample6D, true);

    if (isFramedVersion(version)) {
        send171(50, 6);
        QThread::msleep(50);
        if (version == BROVA_FRAMED_6AXIS) {
            read6D(sample6D, true);
            QThread::msleep(50);
            read6D(sample6D, true);
        } else {
            read(sample, 0, true);
            QThread::msleep(50);
            read(sample, 0, true);
        }
    }
    return config;
}

bool BrovaDAQ_private::sendConfig(SensorConfig c)
{
    BrovaPackage sample;
    BrovaPackage6D sample6D;
    if (version == BROVA_STREAM_6AXIS || version == BROVA_FRAMED_6AXIS)
        read6D(sample6D, false);
    else if (version != BROVA_NONE)
        read(sample, 0, false);

    if (isFramedVersion(version)) {
        static const unsigned char speedCodes[4] = {1, 3, 10, 33};
        static const unsigned char filterCodes[4] = {0, 2, 3, 4};
        const unsigned char data[2] = {speedCodes[(c.value >> 3) & 3], filterCodes[(c.value >> 1) & 3]};
        send170(50, 2, data);
    } else {
        readerThread.writeByte(static_cast<char>(c.value));
        for (int poll = 0; poll < 200; ++poll) {
            if (readerThread.isConfWritten())
                break;
            QThread::msleep(10);
        }
    }
    QThread::msleep(50);
    const SensorConfig r = getConfig();
    return ((r.value ^ c.value) & 0x1E) == 0;
}

void BrovaDAQ_private::send170(int address, int n, const unsigned char* data)
{
    const int count = std::max(0, std::min(n, ReaderThread::pendingCapacity - 6));
    unsigned char frame[ReaderThread::pendingCapacity];
    frame[0] = 0xAA;
    frame[1] = static_cast<unsigned char>((address >> 8) & 0xFF);
    frame[2] = static_cast<unsigned char>(address & 0xFF);
    frame[3] = static_cast<unsigned char>(count & 0xFF);
    if (count > 0)
        std::memcpy(frame + 4, data, static_cast<size_t>(count));
    appendChecksum(frame, 4 + count);
    readerThread.writeByteArray(frame, count + 6);
}

void BrovaDAQ_private::send171(int address, int count)
{
    unsigned char frame[6] = {0xAB, static_cast<unsigned char>((address >> 8) & 0xFF),
                              static_cast<unsigned char>(address & 0xFF), static_cast<unsigned char>(count & 0xFF), 0, 0};
    appendChecksum(frame, 4);
    readerThread.writeByteArray(frame, 6);
    QThread::msleep(2);
}

namespace {

// Speed and filter codes of a configuration reply, as the handshake maps them.
int handshakeSpeedHz(int code)
{
    switch (code) {
    case 1: return 1000;
    case 3: return 333;
    case 33: return 30;
    default: return 100;
    }
}

// 500, 5 and 1 Hz have no place in the configuration byte: setFilter leaves
// the filter field as it was for them.
int handshakeFilterHz(int code)
{
    static const int hz[7] = {0, 500, 150, 50, 15, 5, 1};
    return code >= 0 && code <= 6 ? hz[code] : 15;
}

const char kConfigReadRequest[6] = {'\xAB', '\x00', '\x32', '\x06', '\x00', '\xE3'};
const char kRegister55On[7] = {'\xAA', '\x00', '\x37', '\x01', '\x0A', '\x00', '\xEC'};
const char kRegister55Off[7] = {'\xAA', '\x00', '\x37', '\x01', '\x00', '\x00', '\xE2'};
const char kSpeedCode10[7] = {'\xAA', '\x00', '\x32', '\x01', '\x0A', '\x00', '\xE7'};

// Runs fn on a short-lived QThread and waits for it. Qt SerialPort's socket
// notifiers must live on a thread that Qt started; a host's own thread (or a
// plain std::thread) has none, and Qt would print a warning for it.
template <class Fn>
void runOnQtThread(Fn fn)
{
    std::unique_ptr<QThread> worker(QThread::create(std::move(fn)));
    worker->start();
    worker->wait();
}

} // namespace

bool BrovaDAQ_private::scanConfigurationReply(const QByteArray& reply, SensorConfig& result)
{
    // Every AA 00 32 with at least nine bytes from it counts; the last one
    // decides. Its length byte and checksum are not examined.
    bool found = false;
    const auto* b = reinterpret_cast<const uint8_t*>(reply.constData());
    for (int p = 0; p + 8 < reply.size(); ++p) {
        if (b[p] == 0xAA && b[p + 1] == 0x00 && b[p + 2] == 0x32) {
            result.setMode(b[p + 8]);
            result.setFilter(handshakeFilterHz(b[p + 5]));
            result.setSpeed(handshakeSpeedHz(b[p + 4]));
            found = true;
        }
    }
    return found;
}

SensorConfig BrovaDAQ_private::configure170(const char* name, bool& answered, bool flag)
{
    answered = false;
    SensorConfig result;
    const QString portPath = QString::fromLocal8Bit(name);
    const int rate = baudRate;
    bool found = false;

    runOnQtThread([&]() {
        QSerialPort port;
        port.setPortName(portPath);
        if (!port.open(QIODevice::ReadWrite))
            return;
        port.setDataBits(QSerialPort::Data8);
        port.setStopBits(QSerialPort::OneStop);
        port.setParity(QSerialPort::NoParity);
        port.setFlowControl(QSerialPort::NoFlowControl);
        port.setBaudRate(rate, QSerialPort::AllDirections);

        port.waitForReadyRead(33);
        QElapsedTimer timer;
        timer.start();
        do {
            port.write(kConfigReadRequest, sizeof kConfigReadRequest);
            port.waitForBytesWritten(100);
            QByteArray reply;
            if (port.waitForReadyRead(100))
                reply = port.readAll();
            QThread::msleep(50);
            found = scanConfigurationReply(reply, result);
        } while (!found && timer.elapsed() < 500);

        port.write(flag ? kRegister55On : kRegister55Off, 7);
        port.waitForBytesWritten(100);
        port.write(kSpeedCode10, sizeof kSpeedCode10);
        port.waitForBytesWritten(100);
        port.waitForReadyRead(250);
        if (port.bytesAvailable() == 0)
            found = false;
        port.close();
    });

    answered = found;
    return result;
}

// ---------------------------------------------------------------- zero offsets

bool BrovaDAQ_private::zero(int channel)
{
    if (channel < 0 || channel >= sensorSize)
        return false;
    if (!isOpen())
        return false;
    QThread::msleep(kZeroSettleMs);
    BrovaPackage pkgs[maxChannels];
    const int status = readVirtual(pkgs, true);
    if (status == -2 || status == -1 || status == -4)
        return false;
    // Samples have the current offset subtracted; adding it back gives the
    // reading as received, which becomes the new offset.
    return setOffset(pkgs[channel] + sensors.at(channel).offset, channel);
}

void BrovaDAQ_private::zeroAll()
{
    if (!isOpen())
        return;
    QThread::msleep(kZeroSettleMs);
    if (version == BROVA_STREAM_6AXIS || version == BROVA_FRAMED_6AXIS) {
        BrovaPackage6D pkg;
        read6D(pkg, true);
        sensor6D.offset = pkg + sensor6D.offset;
        return;
    }
    BrovaPackage pkgs[maxChannels];
    readVirtual(pkgs, true);
    for (int c = 0; c < sensorSize && c < maxChannels; ++c)
        setOffset(pkgs[c] + sensors.at(c).offset, c);
}

bool BrovaDAQ_private::unzero(int channel)
{
    if (channel < 0 || channel >= sensorSize || !isOpen())
        return false;
    sensors[channel].offset = 0;
    return true;
}

void BrovaDAQ_private::unzeroAll()
{
    if (!isOpen())
        return;
    qDebug() << "sensorSize" << sensorSize;
    for (int c = 0; c < sensorSize; ++c)
        sensors[c].offset = 0;
    sensor6D.offset = 0;
}

BrovaPackage BrovaDAQ_private::getOffset(int channel)
{
    if (channel < 0 || channel >= sensorSize)
        return BrovaPackage();
    return sensors.at(channel).offset;
}

bool BrovaDAQ_private::setOffset(BrovaPackage offset, int channel)
{
    if (channel < 0 || channel >= sensorSize)
        return false;
    sensors[channel].offset = offset;
    return true;
}
