#include "readerthread.h"

#include <QMutexLocker>
#include <QSerialPort>

#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

constexpr int kOpenAttempts = 20;
constexpr int kOpenPauseMs = 20;

} // namespace

ReaderThread::ReaderThread(QObject* parent)
    : QThread(parent),
      status(StatusStarted),
      byteToWrite(false),
      arrayToWrite(false),
      pendingByte(0),
      pendingArray{},
      pendingCount(0),
      stopRequested(false),
      confWritten(false),
      writeDone(false),
      baudRate(1000000)
{
    // The buffer's storage is made once: a chunk is appended, and the bytes
    // are handed over, without allocating.
    buffer.reserve(bufferCap);
    arrivals.reserve(4096);  // grows, once, only for a caller that reads rarely
}

ReaderThread::~ReaderThread()
{
    close();
    wait();
}

bool ReaderThread::startRun(const QString& name, int rate)
{
    QMutexLocker lock(&mutex);
    if (isRunning()) {
        if (running)
            return false;
        wait();  // its run has returned: the thread is only finishing
    }
    running = true;
    status = StatusStarted;
    stopRequested = false;
    // A session starts with nothing pending: a command left from an earlier
    // session (or asked while closed) is not for this device.
    byteToWrite = false;
    arrayToWrite = false;
    pendingCount = 0;
    confWritten = false;
    writeDone = false;
    counted = Counts();
    arrivals.clear();
    lowLatency_ = LowLatency::NotAsked;
    portName = name;
    baudRate = rate;
    start(QThread::InheritPriority);
    if (!isRunning() && !isFinished()) {
        // The system refused the thread (no memory for its stack, a limit on
        // threads): nothing runs, so nothing is open.
        running = false;
        return false;
    }
    return true;
}

void ReaderThread::close()
{
    QMutexLocker lock(&mutex);
    stopRequested = true;
}

QByteArray ReaderThread::getBuffer(bool keep, int& outStatus)
{
    QByteArray taken;
    getBuffer(keep, outStatus, taken);
    return taken;
}

void ReaderThread::getBuffer(bool keep, int& outStatus, QByteArray& into)
{
    QMutexLocker lock(&mutex);
    outStatus = status;
    into.resize(buffer.size());
    if (!buffer.isEmpty())
        std::memcpy(into.data(), buffer.constData(), static_cast<size_t>(buffer.size()));
    if (!keep) {
        buffer.resize(0);  // the reserved storage stays
        arrivals.clear();  // likewise
    }
}

void ReaderThread::getBuffer(bool keep, int& outStatus, QByteArray& into, Arrivals& arrivalsInto, uint64_t& dropped)
{
    QMutexLocker lock(&mutex);
    arrivalsInto.assign(arrivals.begin(), arrivals.end());
    dropped = counted.dropped;
    outStatus = status;
    into.resize(buffer.size());
    if (!buffer.isEmpty())
        std::memcpy(into.data(), buffer.constData(), static_cast<size_t>(buffer.size()));
    if (!keep) {
        buffer.resize(0);
        arrivals.clear();
    }
}

int64_t ReaderThread::monotonicNow()
{
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void ReaderThread::arrived(int n, int64_t stamp)
{
    lastStamp = std::max(stamp, lastStamp + n);
    arrivals.push_back({buffer.size(), lastStamp});
}

QString ReaderThread::getPortName()
{
    QMutexLocker lock(&mutex);
    return portName;
}

bool ReaderThread::isOpened()
{
    // Every read asks first: a flag, not a lock.
    return running;
}

bool ReaderThread::isConfWritten()
{
    QMutexLocker lock(&mutex);
    const bool was = confWritten;
    confWritten = false;
    return was;
}

void ReaderThread::writeByte(char byte)
{
    QMutexLocker lock(&mutex);
    pendingByte = byte;
    byteToWrite = true;
}

bool ReaderThread::writeByteArray(const unsigned char* data, int count)
{
    if (count > pendingCapacity)
        return false;
    QMutexLocker lock(&mutex);
    pendingCount = count > 0 ? count : 0;
    if (pendingCount > 0)
        std::memcpy(pendingArray, data, static_cast<size_t>(pendingCount));
    arrayToWrite = true;
    return true;
}

bool ReaderThread::claimPort(QSerialPort& port)
{
    // An advisory lock on the open device, which every process of the library
    // takes and which no privilege bypasses (unlike the exclusive-use mode the
    // serial port sets, which root's opens ignore, and the lock file, which is
    // taken as stale once it is 30 s old).
    const int fd = static_cast<int>(port.handle());
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    port.close();
    return false;
}

bool ReaderThread::requestLowLatency(int fd)
{
    serial_struct serial {};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return false;
    serial.flags |= ASYNC_LOW_LATENCY;
    return ::ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

ReaderThread::LowLatency ReaderThread::lowLatency()
{
    QMutexLocker lock(&mutex);
    return lowLatency_;
}

ReaderThread::Counts ReaderThread::counts()
{
    QMutexLocker lock(&mutex);
    return counted;
}

void ReaderThread::appended(int n)
{
    counted.received += static_cast<uint64_t>(n);
    status = StatusData;
    if (writeDone) {
        writeDone = false;
        confWritten = true;
    }
}

void ReaderThread::appendFrom(QSerialPort& port)
{
    const qint64 available = port.bytesAvailable();
    if (available <= 0)
        return;
    // The instant the bytes were found waiting: taken once per chunk.
    const int64_t stamp = monotonicNow();
    {
        QMutexLocker lock(&mutex);
        const int old = buffer.size();
        if (old + available <= bufferCap) {
            const int n = static_cast<int>(available);
            buffer.resize(old + n);  // within the reserved storage
            const int got = static_cast<int>(std::max<qint64>(port.read(buffer.data() + old, n), 0));
            buffer.resize(old + got);
            if (got > 0) {
                appended(got);
                arrived(got, stamp);
            }
            return;
        }
    }
    // The cap is reached (a caller that does not read): all of it as one
    // chunk, the oldest bytes going.
    appendChunk(port.readAll(), stamp);
}

void ReaderThread::appendChunk(const QByteArray& chunk, int64_t stamp)
{
    if (stamp == 0)
        stamp = monotonicNow();
    QMutexLocker lock(&mutex);
    if (buffer.size() + chunk.size() <= bufferCap) {
        buffer.append(chunk);
        appended(chunk.size());
        arrived(chunk.size(), stamp);
        return;
    }
    counted.received += static_cast<uint64_t>(chunk.size());
    status = StatusOverflow;
    if (chunk.size() >= bufferCap) {
        // Only ever reached when one chunk alone exceeds the cap: keep its
        // newest bytes so that the buffer stays bounded.
        counted.dropped += static_cast<uint64_t>(buffer.size() + chunk.size() - bufferCap);
        buffer.resize(0);
        buffer.append(chunk.constData() + chunk.size() - bufferCap, bufferCap);
        arrivals.clear();
        arrived(bufferCap, stamp);
        return;
    }
    const int drop = std::min(chunk.size(), buffer.size());
    counted.dropped += static_cast<uint64_t>(drop);
    buffer.remove(0, drop);
    // The arrivals of the dropped bytes go; the others move to the front.
    auto kept = arrivals.begin();
    while (kept != arrivals.end() && kept->end <= drop)
        ++kept;
    arrivals.erase(arrivals.begin(), kept);
    for (Arrival& a : arrivals)
        a.end -= drop;
    buffer.append(chunk);
    arrived(chunk.size(), stamp);
}

void ReaderThread::markSilent()
{
    QMutexLocker lock(&mutex);
    status = StatusSilent;
    stopRequested = true;
}

void ReaderThread::run()
{
    QString name;
    int rate;
    {
        QMutexLocker lock(&mutex);
        name = portName;
        rate = baudRate;
    }
    auto port = std::make_unique<QSerialPort>();
    // Nothing listens to the port's signals: each chunk's readyRead would
    // only cost a lookup of receivers.
    port->blockSignals(true);
    port->setPortName(name);
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        const bool opened = port->open(QIODevice::ReadWrite) && claimPort(*port);
        msleep(kOpenPauseMs);
        if (opened)
            break;
    }
    if (port->isOpen()) {
        port->setDataBits(QSerialPort::Data8);
        port->setStopBits(QSerialPort::OneStop);
        port->setParity(QSerialPort::NoParity);
        port->setFlowControl(QSerialPort::NoFlowControl);
        port->setBaudRate(rate, QSerialPort::AllDirections);
        const bool granted = requestLowLatency(static_cast<int>(port->handle()));
        QMutexLocker lock(&mutex);
        lowLatency_ = granted ? LowLatency::Granted : LowLatency::Unsupported;
    }

    for (;;) {
        if (stopRequested || !port->isOpen()) {
            {
                QMutexLocker lock(&mutex);
                buffer.resize(0);
                arrivals.clear();
            }
            if (port->isOpen())
                port->close();
            port.reset();
            running = false;  // the last thing the thread does
            return;
        }

        if (port->waitForReadyRead(dataTimeoutMs)) {
            appendFrom(*port);
        } else {
            markSilent();
        }

        if (byteToWrite) {
            QMutexLocker lock(&mutex);
            port->write(&pendingByte, 1);
            if (port->waitForBytesWritten(dataTimeoutMs))
                byteToWrite = false;
            writeDone = true;
        }
        if (arrayToWrite) {
            QMutexLocker lock(&mutex);
            // An empty frame has nothing to wait for: it counts as written.
            if (pendingCount > 0)
                port->write(reinterpret_cast<const char*>(pendingArray), pendingCount);
            if (pendingCount == 0 || port->waitForBytesWritten(dataTimeoutMs))
                arrayToWrite = false;
            writeDone = true;
        }
    }
}
