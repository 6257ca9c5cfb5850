#include "brovadaq.h"

#include <QDebug>
#include <QThread>

#include <climits>
#include <ctime>

#include <algorithm>
#include <cstring>

#include "brovadaq_p.h"

namespace {

constexpr int kOpenHandshakeReads = 40;
constexpr int kOpenHandshakePauseMs = 25;
constexpr int kVirtualAttempts = 21;
constexpr int kVirtualPauseMs = 30;
constexpr int kZeroSettleMs = 33;  // one sample period at 30 samples per second

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
void BrovaDAQ::wrenchOf(const BrovaPackage& channel0, const BrovaPackage& channel1, const BrovaPackage& channel2,
                        const BrovaPackage& channel3, int (&values)[6])
{
    BrovaPackage p[4] = {channel0, channel1, channel2, channel3};
    BrovaDAQ_private::writeWrench(p[0], p[1], p[2], p[3], values);
}
bool BrovaDAQ::zero(int channel) { return d->zero(channel); }
void BrovaDAQ::zeroAll() { d->zeroAll(); }
bool BrovaDAQ::unzero(int channel) { return d->unzero(channel); }
void BrovaDAQ::unzeroAll() { d->unzeroAll(); }
BrovaPackage BrovaDAQ::getOffset(int channel) { return d->getOffset(channel); }
BrovaStatistics BrovaDAQ::getStatistics() { return d->getStatistics(); }
int BrovaDAQ::getStamps(int64_t* stamps, int capacity) { return d->getStamps(stamps, capacity); }
int BrovaDAQ::getFlags(uint32_t* flags, int capacity) { return d->getFlags(flags, capacity); }
double BrovaDAQ::getEstimatedRate() { return d->getEstimatedRate(); }
int64_t BrovaDAQ::getRealtimeOffset()
{
    // The real-time clock read between two monotonic readings, the closest
    // pair of three: the offset is off by at most half that pair's distance.
    int64_t best = INT64_MAX, offset = 0;
    for (int i = 0; i < 3; ++i) {
        timespec a {}, r {}, b {};
        clock_gettime(CLOCK_MONOTONIC, &a);
        clock_gettime(CLOCK_REALTIME, &r);
        clock_gettime(CLOCK_MONOTONIC, &b);
        const auto ns = [](const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; };
        if (ns(b) - ns(a) < best) {
            best = ns(b) - ns(a);
            offset = ns(r) - (ns(a) + ns(b)) / 2;
        }
    }
    return offset;
}

// ---------------------------------------------------------------- lifecycle

BrovaDAQ_private::BrovaDAQ_private()
    : readerThread(nullptr),
      baudRate(1000000),
      portName{},
      version(BROVA_NONE),
      config(),
      chksumOK(true),
      size(0),
      sensorSize(0),
      firstFrameSeen(false),
      deviceResponded(false),
      virtualSensor(false)
{
    // The bytes of every read are taken into this one storage.
    rxBytes.reserve(ReaderThread::bufferCap);
}

// The reader thread's own destructor stops and joins a running thread.
BrovaDAQ_private::~BrovaDAQ_private() = default;

bool BrovaDAQ_private::open(BPort port, bool flag, int rate)
{
    // A running session is left as it is: its channels, configuration and
    // reader stay untouched.
    if (isOpen())
        return false;
    // A session whose reader ended by itself (silence, unplug) and was not
    // closed leaves its channels behind; they are not the new device's.
    if (!sensors.isEmpty())
        close();
    firstFrameSeen = false;
    deviceResponded = false;
    baudRate = rate;
    parsed = ParseCounts();
    // A new session: its rate is learnt afresh, its stamps start from its
    // own arrivals (and go on increasing).
    clock.reset(0);
    failuresSeen = droppedSeen = 0;
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
    else if (isFramedVersion(version))
        // The parsers never learn a framed kind from the stream, nor leave
        // one for a stream kind: a device that is not of a framed kind is
        // recognised afresh from its frame headers.
        version = BROVA_NONE;
    if (framed != BROVA_NONE) {
        version = framed;
        bool answered = false;
        const QByteArray local = name.toLocal8Bit();
        config = configure170(local.constData(), answered, flag);
        if (!answered)
            return false;
    }

    if (!readerThread.startRun(name, baudRate))
        return false;
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
        return true;
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
    rxBytes.resize(0);  // its reserved storage stays
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

BrovaStatistics BrovaDAQ_private::getStatistics()
{
    const ReaderThread::Counts reader = readerThread.counts();
    BrovaStatistics s;
    s.bytesReceived = reader.received;
    s.framesAccepted = parsed.framesAccepted;
    s.checksumFailures = parsed.checksumFailures;
    s.framesMalformed = parsed.framesMalformed;
    s.bytesDiscarded = reader.dropped + parsed.bytesUnparsed;
    return s;
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
