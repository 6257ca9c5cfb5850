// One port that a long-running subcommand (brova stream, brova publish)
// reads: its device, opened, configured and tared on a thread of its own so
// that the ports already streaming are read meanwhile, and what it keeps
// across reconnections.
#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <future>
#include <memory>
#include <vector>

#include "brovadaq.h"
#include "calibrationlookup.h"
#include "cli.h"
#include "commands.h"
#include "samplerows.h"

namespace brovacli {

// What an open hands over: the device, opened, configured and tared.
struct Opened {
    Target target;
    std::unique_ptr<BrovaDAQ> daq;
    SensorConfig config;
};

// Finds the port again when relocate is set (on a reconnection, where its
// name may now lead elsewhere), opens, configures and, with tare, zeroes the
// device; the samples that came before the zero are read and dropped. Throws
// Failure as the steps do. Runs on any thread: the device is used by no other
// until the caller takes it over.
Opened openDevice(Target target, const QString& given, bool relocate, const ConfigRequest& want, bool tare,
                  bool sixAxis);

// The options of a long run over devices (brova stream, brova publish):
// --kind, --rate, --filter, --mode, --six-axis, --tare, --count, --duration,
// the calibration options, --reconnect (its help text given) and PORT ....
void addRunOptions(QCommandLineParser& p, const QString& reconnectHelp);
struct RunOptions {
    QStringList ports;
    int kindOption = 0;
    ConfigRequest want;
    bool sixAxis = false;
    bool tare = false;
    bool reconnect = false;
    int count = 0;          // 0: no limit
    double duration = 0.0;  // 0: no limit
    CalibrationOptions calibration;
};
// Their values, checked before anything is opened (usage Failures: no PORT,
// a bad count, ...).
RunOptions runOptionsFrom(const QCommandLineParser& p, const QStringList& args);

struct DeviceSession {
    QString given;  // PORT as given (auto: the port it found), located again on reconnecting
    Target target;
    const Kind* kind = nullptr;
    bool wrench = false;  // a four-channel device read as one six-axis sensor
    std::unique_ptr<BrovaDAQ> daq;
    std::future<Opened> opening;  // an open under way on its own thread
    bool opened = false;          // opened at least once
    SensorConfig config;
    uint64_t samples = 0;
    uint64_t readsLost = 0;    // reads that found the reader's buffer had dropped bytes (-1)
    double estimatedRate = 0;  // the library's estimate, kept when a session ends
    bool done = false;         // --count reached
    BrovaStatistics before{};  // counts of earlier sessions (reconnects)
    BrovaPackage* all = nullptr;
    BrovaPackage6D* all6 = nullptr;
    brovatools::CalibrationChoice calibration;  // its file, or none: counts
    brovatools::RowCalibration rowCalibration;

    DeviceSession() = default;
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;
    // No open is left running; the device is closed, the arrays released.
    ~DeviceSession();

    bool sixAxis() const { return kind->sixAxis || wrench; }
    // Sets the session up for the run's port index, before anything is sent
    // to a device: locates the port, takes its kind, checks --six-axis
    // against it and that no earlier session has the same port, and chooses
    // its calibration (a file for another sensor ends the run here). Throws
    // Failure.
    void setUp(const RunOptions& o, int index, const std::vector<const DeviceSession*>& earlier);
    // Starts an open (relocate: a reopen) on a thread of its own.
    void beginOpen(bool relocate, const ConfigRequest& want, bool tare);
    // The counts of every session of the device so far.
    BrovaStatistics statistics() const;
    void keepRate();
    // The session ends (the device was lost): its counts and rate are kept.
    void endSession();
};

} // namespace brovacli
