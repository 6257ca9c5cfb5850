// BrovaPorts_private: the engine behind BrovaPorts, and the port inventory it
// scans. Internal to the library (not installed).
//
// The engine is a QThread whose run() is the watcher: every 100 ms it lists
// the ports of its inventory, identifies each new candidate with a probe on
// its own QSerialPort, and keeps the present sensors (portList) and the
// queues of found and lost sensors. One non-recursive mutex guards all of it;
// the watcher holds it for a whole cycle, probes included.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>

#include "brovaports.h"

class QSerialPort;

// What a scan needs to know of one serial port. Vendor and product are the
// 16-bit USB identifiers, widened; a port without them reports 0.
struct PortRecord {
    QString portName;
    int32_t vendorId = 0;
    int32_t productId = 0;
    bool watched = false;  // named by the caller (watchPort): always a candidate
};

// Where the watcher gets the list of serial ports from. The system inventory
// asks QSerialPortInfo::availablePorts(); tests put simulated ports in place
// with setOverride. Implementations are called from watcher threads and must
// be safe to call from several at once.
class PortInventory {
public:
    virtual ~PortInventory() = default;
    // The ports present now, in the system's order.
    virtual QList<PortRecord> availablePorts() = 0;

    // The inventory that engines constructed from now on use: the override if
    // one is set, otherwise the system's. An engine keeps the one it got.
    static std::shared_ptr<PortInventory> current();
    // Test hook: engines constructed after this call scan inventory instead of
    // the system's ports; null goes back to the system.
    static void setOverride(std::shared_ptr<PortInventory> inventory);
};

// One entry of the vendor filter. Entries are ordered, inserted and found by
// vendor alone: the set holds one entry per vendor, and any product of a
// vendor in the set passes.
struct filter_cond {
    int32_t vendorId;
    int32_t productId;
    bool operator<(const filter_cond& other) const { return vendorId < other.vendorId; }
};

// The USB serial bridges whose ports are candidates, in the filter's order:
// the one table of them (the udev rule installed with the library is
// generated from it).
struct BridgeVendor {
    filter_cond ids;
    const char* name;
};
constexpr BridgeVendor bridgeVendors[] = {
    {{0x04D8, 0x000A}, "Microchip"},
    {{0x0403, 0x6001}, "FTDI"},
    {{0x10C4, 0xEA60}, "Silicon Labs"},
};
constexpr int32_t ftdiVendor = 0x0403;  // its bridges have a latency timer

class BrovaPorts_private : public QThread {
    Q_OBJECT

public:
    static constexpr int tableSize = 100;  // records of the shared listPorts table
    static constexpr int cycleMs = 100;    // pause between two watcher cycles
    static const char apiVersion[];        // "1.4.3.12"

    // sensorKind 3 or 6 picks three-axis or six-axis sensors, anything else
    // every kind. Starts the watcher before returning.
    BrovaPorts_private(int sensorKind, int baudRate);
    // Stops and joins the watcher (after the cycle in progress), then goes.
    ~BrovaPorts_private() override;

    BPort* listPorts(bool unused);
    int getSize(bool unused);
    int getLastSize();

    bool isNewPortThread(bool filter);
    bool isLostPortThread(bool unused);
    BPort getNewPortThread();
    BPort getLostPortThread();
    bool watchPort(const char* path);

    // Writes the kind text for kind ("31 v0.9" ... "95 v1.0", "unknown" for
    // any other value) into port.deviceName; bytes after its NUL are left.
    static void setVersion(BPort& port, int& kind);

    // The listening stage's verdict on the bytes a device sent unasked: counts
    // the stream header pairs (37 44, 37 5E, 37 5F) into headers and returns
    // how many of them are of a kind that sensorKind wants. Each pair empties
    // text; each wanted pair sets kind to its second byte.
    static int scanStreamHeaders(const QByteArray& bytes, int sensorKind, int& kind, int& headers,
                                 char (&text)[BPort::textSize]);
    // The asking stage's search of the reply buffer: every AA 00 0A that starts
    // at least 20 bytes before the end is an identification reply; each sets
    // kind to its byte 4 and text to its bytes 12..18 (cut at a NUL). The last
    // reply decides: true when its kind is one that sensorKind wants, false
    // for another kind or when there is no reply.
    static bool searchIdentReply(const QByteArray& reply, int sensorKind, int& kind,
                                 char (&text)[BPort::textSize]);

protected:
    void run() override;

private:
    friend struct BrovaPortsAccess;  // white-box tests

    void startThread();
    void closeThread();

    // The scans, run by the watcher with mutex held.
    void isNewPort(bool filter);
    void isLostPort(bool filter);
    bool isCandidate(const PortRecord& port, bool filter) const;
    // The inventory's ports, then the watched paths that exist now.
    QList<PortRecord> currentPorts();

    // The probe: -1 when the port cannot be opened, 0 when it carries no wanted
    // sensor, 1 when it does (kind then holds its kind code).
    int setupSerial(const QString& name, int& kind);
    bool preprocess170(QSerialPort& port, int& kind);

    BPort getNewPort();
    BPort getLostPort();

    QList<PortRecord> knownPorts;     // accepted and still present, in order of acceptance
    QList<PortRecord> rejectedPorts;  // probed, not wanted, still present
    std::set<filter_cond> filters;
    bool firstScanPending;
    int32_t baudRate;
    char probeText[BPort::textSize];  // identification text of the latest probe
    bool filterEnabled;
    int32_t sensorKind;
    std::atomic<bool> stopRequested;
    QMutex mutex;
    std::deque<BPort> newPorts;
    std::deque<BPort> lostPorts;
    QList<BPort> portList;            // present sensors, in order of finding
    std::atomic<int32_t> lastSize;    // written by listPorts only

    std::shared_ptr<PortInventory> inventory;
    QList<QString> watchedPaths;      // watchPort's paths, in order of asking
    QList<PortRecord> listed;         // the ports present at the start of this cycle
    QWaitCondition stopWake;          // cuts the pause between cycles short on stop
};
