#include "brovaports.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSerialPort>
#include <QSerialPortInfo>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "brovaports_p.h"
#include "readerthread.h"

// ------------------------------------------------------------------- BPort

BPort::BPort()
{
    portName[0] = '\0';
    deviceName[0] = '\0';
    deviceId[0] = '\0';
}

void BPort::setText(char (&field)[textSize], const char* text)
{
    size_t n = 0;
    if (text) {
        while (n < textSize - 1 && text[n] != '\0')
            ++n;
        std::memcpy(field, text, n);
    }
    field[n] = '\0';
}

// -------------------------------------------------------------- BrovaPorts

BrovaPorts::BrovaPorts(int sensorKind, int baudRate) : d(new BrovaPorts_private(sensorKind, baudRate)) {}

BrovaPorts::~BrovaPorts()
{
    delete d;
}

BPort* BrovaPorts::listPorts(bool unused) { return d->listPorts(unused); }
int BrovaPorts::getSize(bool unused) { return d->getSize(unused); }
int BrovaPorts::getLastSize() { return d->getLastSize(); }
bool BrovaPorts::isNewPort(bool filter) { return d->isNewPortThread(filter); }
bool BrovaPorts::isLostPort(bool unused) { return d->isLostPortThread(unused); }
BPort BrovaPorts::getNewPort() { return d->getNewPortThread(); }
BPort BrovaPorts::getLostPort() { return d->getLostPortThread(); }
bool BrovaPorts::watchPort(const char* path) { return d->watchPort(path); }
const char* BrovaPorts::getAPIversion() { return BrovaPorts_private::apiVersion; }

// ----------------------------------------------------------- PortInventory

namespace {

class SystemInventory : public PortInventory {
public:
    QList<PortRecord> availablePorts() override
    {
        QList<PortRecord> ports;
        const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo& info : infos) {
            PortRecord r;
            r.portName = info.portName();
            r.vendorId = info.vendorIdentifier();
            r.productId = info.productIdentifier();
            ports.append(r);
        }
        return ports;
    }
};

std::mutex inventoryLock;

std::shared_ptr<PortInventory>& inventoryOverride()
{
    static std::shared_ptr<PortInventory> chosen;
    return chosen;
}

// Listening stage: at most this many bytes, or this long.
constexpr int kListenBytes = 300;
constexpr int kListenMs = 500;
// Asking stage: requests go out for this long.
constexpr int kAskMs = 500;
// Every single wait for data or for a write.
constexpr int kWaitMs = 33;
// A reply is searched for only where this many bytes follow its start.
constexpr int kReplyMinLength = 20;
// Listening is decided by this many header pairs.
constexpr int kHeaderVerdict = 3;

// Read request for the 16-byte identification block at register 10.
const char kIdentRequest[6] = {'\xAB', '\x00', '\x0A', '\x10', '\x00', '\xC5'};
// Write of speed code 10 (100 samples per second) to register 50: the probe
// leaves every device it asked in that state.
const char kClosingWrite[7] = {'\xAA', '\x00', '\x32', '\x01', '\x0A', '\x00', '\xE7'};

constexpr uint8_t kStreamHeader = 0x37;

bool wantsThreeAxis(int sensorKind) { return sensorKind != 6; }
bool wantsSixAxis(int sensorKind) { return sensorKind != 3; }

// A port that reports an error (other than a wait that timed out) is gone or
// broken: waiting on it returns at once, so a probe that kept going would
// spin.
bool portFailed(const QSerialPort& port)
{
    const QSerialPort::SerialPortError e = port.error();
    return e != QSerialPort::NoError && e != QSerialPort::TimeoutError;
}

// Waits up to ms for data and appends what is available to into.
void collect(QSerialPort& port, QByteArray& into, int ms)
{
    if (port.bytesAvailable() == 0)
        port.waitForReadyRead(ms);
    into.append(port.readAll());
}

// A record with every byte zero, so that nothing but its texts reaches a
// caller.
BPort blankRecord()
{
    BPort record;
    std::memset(static_cast<void*>(&record), 0, sizeof record);
    return record;
}

bool sameName(const QList<PortRecord>& ports, const QString& name)
{
    for (const PortRecord& p : ports)
        if (p.portName == name)
            return true;
    return false;
}

} // namespace

std::shared_ptr<PortInventory> PortInventory::current()
{
    static const std::shared_ptr<PortInventory> system = std::make_shared<SystemInventory>();
    std::lock_guard<std::mutex> lock(inventoryLock);
    return inventoryOverride() ? inventoryOverride() : system;
}

void PortInventory::setOverride(std::shared_ptr<PortInventory> inventory)
{
    std::lock_guard<std::mutex> lock(inventoryLock);
    inventoryOverride() = std::move(inventory);
}

// ------------------------------------------------------ BrovaPorts_private

const char BrovaPorts_private::apiVersion[] = "1.4.3.12";

BrovaPorts_private::BrovaPorts_private(int kind, int rate)
    : QThread(nullptr),
      firstScanPending(true),
      baudRate(rate),
      filterEnabled(true),
      sensorKind(kind == 3 || kind == 6 ? kind : 0),
      stopRequested(false),
      lastSize(0),
      inventory(PortInventory::current())
{
    probeText[0] = '\0';
    for (const BridgeVendor& v : bridgeVendors)
        filters.insert(v.ids);
    startThread();
}

BrovaPorts_private::~BrovaPorts_private()
{
    closeThread();
}

void BrovaPorts_private::startThread()
{
    QMutexLocker lock(&mutex);
    stopRequested = false;
    start(QThread::InheritPriority);
}

void BrovaPorts_private::closeThread()
{
    {
        QMutexLocker lock(&mutex);
        stopRequested = true;
        stopWake.wakeAll();
    }
    // Never wait with mutex held: the watcher takes it at every cycle.
    wait();
}

void BrovaPorts_private::run()
{
    while (!stopRequested) {
        QMutexLocker lock(&mutex);
        try {
            // One listing of the ports serves both scans of the cycle: listing
            // them (sysfs and udev reads for every tty of the machine) is the
            // watcher's largest cost.
            listed = currentPorts();
            isNewPort(filterEnabled);
            firstScanPending = false;
            isLostPort(filterEnabled);
        } catch (...) {
            // Out of memory in a scan: nothing may leave the watcher thread
            // (it would end the host's process); the next cycle scans again.
            firstScanPending = false;
        }

        // The pause between cycles, with mutex released; a stop request ends
        // it at once.
        QElapsedTimer pause;
        pause.start();
        while (!stopRequested) {
            const qint64 left = cycleMs - pause.elapsed();
            if (left <= 0)
                break;
            stopWake.wait(&mutex, static_cast<unsigned long>(left));
        }
    }
}

bool BrovaPorts_private::isCandidate(const PortRecord& port, bool filter) const
{
    if (port.portName.isEmpty())
        return false;
    // A port whose name takes 25 bytes or more could not be named in a
    // record, so it is skipped as if it were not there.
    if (port.portName.toLocal8Bit().size() >= static_cast<int>(BPort::textSize))
        return false;
    if (!filter || port.watched)
        return true;
    return filters.find(filter_cond{port.vendorId, port.productId}) != filters.end();
}

QList<PortRecord> BrovaPorts_private::currentPorts()
{
    QList<PortRecord> ports = inventory->availablePorts();
    for (const QString& path : watchedPaths) {
        if (!sameName(ports, path) && QFileInfo::exists(path)) {
            PortRecord r;
            r.portName = path;
            r.watched = true;
            ports.append(r);
        }
    }
    return ports;
}

bool BrovaPorts_private::watchPort(const char* path)
{
    if (!path || !*path || std::strlen(path) >= BPort::textSize)
        return false;
    const QString name = QString::fromLocal8Bit(path);
    QMutexLocker lock(&mutex);
    if (!watchedPaths.contains(name))
        watchedPaths.append(name);
    return true;
}

void BrovaPorts_private::isNewPort(bool filter)
{
    const QList<PortRecord>& current = listed;
    QList<PortRecord> accepted;
    for (const PortRecord& port : current) {
        if (!isCandidate(port, filter))
            continue;
        // Known and rejected ports are not probed again; a name the system
        // lists twice is taken once.
        if (sameName(knownPorts, port.portName) || sameName(rejectedPorts, port.portName) ||
            sameName(accepted, port.portName))
            continue;

        int kind = 0;
        if (filter) {
            const int probe = setupSerial(port.portName, kind);
            if (probe < 0)
                continue;  // not opened: tried again next cycle
            if (probe == 0) {
                rejectedPorts.append(port);
                continue;
            }
        }

        // Without a probe the record takes the text of the latest probe on any
        // port, as a probe leaves it.
        BPort record = blankRecord();
        BPort::setText(record.deviceId, probeText);
        BPort::setText(record.portName, port.portName.toLocal8Bit().constData());
        setVersion(record, kind);
        newPorts.push_back(record);
        portList.append(record);
        accepted.append(port);
    }
    knownPorts.append(accepted);
}

void BrovaPorts_private::isLostPort(bool filter)
{
    const QList<PortRecord>& current = listed;
    auto present = [&](const QString& name) {
        for (const PortRecord& p : current)
            if (p.portName == name && isCandidate(p, filter))
                return true;
        return false;
    };

    QList<PortRecord> stillRejected;
    for (const PortRecord& r : rejectedPorts)
        if (present(r.portName))
            stillRejected.append(r);
    rejectedPorts = stillRejected;

    QList<PortRecord> kept;
    for (const PortRecord& k : knownPorts) {
        if (present(k.portName)) {
            kept.append(k);
            continue;
        }
        const QByteArray name = k.portName.toLocal8Bit();
        BPort lost = blankRecord();
        BPort::setText(lost.portName, name.constData());
        lostPorts.push_back(lost);
        for (int i = portList.size() - 1; i >= 0; --i) {
            if (name == portList.at(i).portName) {
                portList.removeAt(i);
                break;
            }
        }
    }
    knownPorts = kept;
}

int BrovaPorts_private::setupSerial(const QString& name, int& kind)
{
    QSerialPort port;
    port.setPortName(name);
    if (!port.open(QIODevice::ReadWrite) || !ReaderThread::claimPort(port))
        return -1;
    port.setDataBits(QSerialPort::Data8);
    port.setStopBits(QSerialPort::OneStop);
    port.setParity(QSerialPort::NoParity);
    port.setFlowControl(QSerialPort::NoFlowControl);
    port.setBaudRate(baudRate, QSerialPort::AllDirections);
    port.setFlowControl(QSerialPort::NoFlowControl);
    const bool wanted = preprocess170(port, kind);
    port.close();
    return wanted ? 1 : 0;
}

int BrovaPorts_private::scanStreamHeaders(const QByteArray& bytes, int kindWanted, int& kind, int& headers,
                                          char (&text)[BPort::textSize])
{
    const auto* b = reinterpret_cast<const uint8_t*>(bytes.constData());
    int matches = 0;
    headers = 0;
    for (int i = 1; i < bytes.size(); ++i) {
        if (b[i - 1] != kStreamHeader)
            continue;
        const uint8_t second = b[i];
        if (second != 0x44 && second != 0x5E && second != 0x5F)
            continue;
        text[0] = '\0';
        ++headers;
        const bool wanted = second == 0x5F ? wantsSixAxis(kindWanted) : wantsThreeAxis(kindWanted);
        if (wanted) {
            kind = second;
            ++matches;
        }
    }
    return matches;
}

bool BrovaPorts_private::searchIdentReply(const QByteArray& reply, int kindWanted, int& kind,
                                          char (&text)[BPort::textSize])
{
    const auto* b = reinterpret_cast<const uint8_t*>(reply.constData());
    bool accepted = false;
    for (int s = 0; s <= reply.size() - kReplyMinLength; ++s) {
        if (b[s] != 0xAA || b[s + 1] != 0x00 || b[s + 2] != 0x0A)
            continue;
        kind = b[s + 4];
        char id[8];
        std::memcpy(id, b + s + 12, 7);
        id[7] = '\0';
        BPort::setText(text, id);
        accepted = (kind == 64 && wantsSixAxis(kindWanted)) ||
                   ((kind == 31 || kind == 34) && wantsThreeAxis(kindWanted));
    }
    return accepted;
}

bool BrovaPorts_private::preprocess170(QSerialPort& port, int& kind)
{
    // Listening: a streaming device tells its kind in every frame header.
    QByteArray heard;
    QElapsedTimer timer;
    timer.start();
    bool ask = false;
    for (;;) {
        if (heard.size() >= kListenBytes)
            break;
        if (timer.elapsed() >= kListenMs) {
            ask = heard.size() < 2;
            break;
        }
        collect(port, heard, kWaitMs);
        if (portFailed(port))
            return false;
    }
    if (!ask) {
        int headers = 0;
        const int matches = scanStreamHeaders(heard, sensorKind, kind, headers, probeText);
        if (matches >= kHeaderVerdict)
            return true;
        if (headers >= kHeaderVerdict)
            return false;  // a streaming device of a kind not wanted
    }

    // Asking: a framed device answers the identification request. Replies to
    // earlier requests stay in the buffer and are found again. A request goes
    // out at most once per wait period: a device that answers at once with a
    // kind not wanted is not flooded with requests.
    QByteArray reply;
    collect(port, reply, kWaitMs);
    QElapsedTimer asking;
    asking.start();
    bool accepted = false;
    while (asking.elapsed() < kAskMs && !accepted && !portFailed(port)) {
        QElapsedTimer request;
        request.start();
        port.write(kIdentRequest, sizeof kIdentRequest);
        port.waitForBytesWritten(kWaitMs);
        do {
            collect(port, reply, static_cast<int>(std::max<qint64>(1, kWaitMs - request.elapsed())));
            accepted = searchIdentReply(reply, sensorKind, kind, probeText);
        } while (!accepted && request.elapsed() < kWaitMs && !portFailed(port));
    }
    if (portFailed(port))
        return false;
    reply.clear();
    port.write(kClosingWrite, sizeof kClosingWrite);
    port.waitForBytesWritten(kWaitMs);
    return accepted;
}

void BrovaPorts_private::setVersion(BPort& port, int& kind)
{
    const char* text = "unknown";
    switch (kind) {
    case 31: text = "31 v0.9"; break;
    case 34: text = "34 v0.9"; break;
    case 64: text = "64 v0.9"; break;
    case 68: text = "68 v1.1"; break;
    case 94: text = "94 v0.9"; break;
    case 95: text = "95 v1.0"; break;
    default: break;
    }
    BPort::setText(port.deviceName, text);
}

BPort* BrovaPorts_private::listPorts(bool)
{
    // One table per process, shared by every object; tableLock keeps two
    // callers from writing it at once.
    static BPort portListTemp[tableSize];
    static QMutex tableLock;

    // Wait for the first scan: at most 25 polls of 16 ms.
    for (int poll = 0; poll < 25; ++poll) {
        bool pending;
        {
            QMutexLocker lock(&mutex);
            pending = firstScanPending;
        }
        QThread::msleep(16);
        if (!pending)
            break;
    }

    // Taking a shared copy of the list costs no allocation and lets mutex go
    // before tableLock is taken.
    QList<BPort> present;
    {
        QMutexLocker lock(&mutex);
        present = portList;
    }
    QMutexLocker table(&tableLock);
    const int n = std::min(present.size(), tableSize);
    for (int i = 0; i < n; ++i)
        portListTemp[i] = present.at(i);
    lastSize = n;
    return portListTemp;
}

int BrovaPorts_private::getSize(bool)
{
    QMutexLocker lock(&mutex);
    return portList.size();
}

int BrovaPorts_private::getLastSize()
{
    return lastSize;
}

bool BrovaPorts_private::isNewPortThread(bool filter)
{
    QMutexLocker lock(&mutex);
    filterEnabled = filter;
    return !newPorts.empty();
}

bool BrovaPorts_private::isLostPortThread(bool)
{
    QMutexLocker lock(&mutex);
    return !lostPorts.empty();
}

BPort BrovaPorts_private::getNewPortThread()
{
    QMutexLocker lock(&mutex);
    return getNewPort();
}

BPort BrovaPorts_private::getLostPortThread()
{
    QMutexLocker lock(&mutex);
    return getLostPort();
}

BPort BrovaPorts_private::getNewPort()
{
    if (newPorts.empty())
        return blankRecord();
    const BPort front = newPorts.front();
    newPorts.pop_front();
    return front;
}

BPort BrovaPorts_private::getLostPort()
{
    if (lostPorts.empty())
        return blankRecord();
    const BPort front = lostPorts.front();
    lostPorts.pop_front();
    return front;
}
