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
#include "lowpass.h"
#include "commands.h"
#include "samplerows.h"
#include "sidecar.h"

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
    std::vector<int> kinds;  // --kind of each port (0: discovery tells)
    ConfigRequest want;
    bool sixAxis = false;
    bool tare = false;
    bool reconnect = false;
    int count = 0;          // 0: no limit
    double duration = 0.0;  // 0: no limit
    CalibrationOptions calibration;
};
// Their values, checked before anything is opened (usage Failures: no PORT,
// a bad count, ...). --kind and --calibration are given once for every port or
// once per PORT, in the ports' order; --six-axis reads every four-channel
// device among the ports as one six-axis sensor (six-axis sensors are read as
// they are).
RunOptions runOptionsFrom(const QCommandLineParser& p, const QStringList& args);

// --lowpass HZ and --lowpass-order N: the host-side low-pass filter.
void addLowPassOptions(QCommandLineParser& p);
struct LowPassOptions {
    double cutoff = 0;  // Hz; 0: no filter
    int order = 2;
};
// Their values, checked before anything is opened or sent: a cut-off that is
// not a number above 0 Hz, or not below half the rate asked (--rate; without
// it, half the highest rate, 1000 per second), an order outside 1 ... 8, or
// an order without --lowpass: a usage Failure.
LowPassOptions lowPassFromOptions(const QCommandLineParser& p, const ConfigRequest& want);

// What a turn of a session found (DeviceSession::turn).
enum class Turn {
    Streaming,  // open: read it
    Waiting,    // an open under way, or a lost device waiting for its next attempt
    Opened,     // the first open has just finished: read it from now on
    Reopened    // a lost device is back (lastGap says for how long it was gone)
};

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
    // Monotonic nanoseconds.
    int64_t openedAt = 0;  // when the latest open began: the end of a gap
    int64_t lostAt = -1;   // since when the device has been lost (-1: it is not)
    int64_t retryAt = 0;   // the next attempt to reopen a lost device
    int gaps = 0;          // losses so far, the one under way included
    double gapSeconds = 0; // their length, the one under way up to its reopen
    double lastGap = 0;    // the length of the latest gap that ended,
    int64_t lastLostAt = -1;  // and when it began
    bool rateTold = false; // a device off its configured rate was told once
    bool clearLine = false;  // a status line on standard error is cleared before a message
    BrovaPackage* all = nullptr;
    BrovaPackage6D* all6 = nullptr;
    brovatools::CalibrationChoice calibration;  // its file, or none: counts
    brovatools::RowCalibration rowCalibration;
    // The low-pass filters (--lowpass): one per channel, or one for a
    // six-axis row; whether they filter the newtons (rows without them are
    // then left unfiltered); the rate they were designed for (0: not yet).
    std::vector<brovatools::LowPass> filters;
    bool filterNewtons = false;
    int filterRate = 0;

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
    // Starts the first open on a thread of its own.
    void beginOpen(const ConfigRequest& want, bool tare);
    // One turn of the run's loop for this session: takes over an open that
    // has finished (Opened, or Reopened after a loss, the gap counted), starts
    // a lost device's next attempt when its time has come (every 250 ms), and
    // tells once on standard error when the device keeps another rate than
    // it was configured for. Throws the open's Failure when the first open
    // failed; a failed reopen is tried again. Never blocks.
    Turn turn(int64_t nowNs, const ConfigRequest& want, bool tare);
    // The device was lost (a read returned -2): its counts and rate are kept,
    // and turn reopens it.
    void lose(int64_t nowNs);
    // After an open: designs the filters for the device's configured rate,
    // or (the same rate) starts them afresh; a rate that puts the cut-off at
    // or above its Nyquist frequency switches them off. Returns the line to
    // tell (the cut-off's group delay, or that the filter is off), empty
    // when there is nothing new; off is set when the filter went off.
    std::string designFilters(const LowPassOptions& lp, const std::string& name, bool& off);
    // Starts the filters afresh (bytes were dropped).
    void resetFilters();
    // Low-pass filters the rows of this device from rows[from ...].
    void filterRows(std::vector<brovatools::SampleRow>& rows, size_t from);
    // Reads what arrived and appends its rows (the port's index in the run,
    // numbered from samples on; with their stamps, flags, calibrated and
    // filtered values) to rows. Returns the samples read: -2 when the device
    // is lost, -1 when bytes were dropped (counted, the filters started
    // afresh), 0 when nothing new came; samples is not moved on.
    int readRows(int index, std::vector<brovatools::SampleRow>& rows);
    // Seconds the device has been gone in all (the gap under way included).
    double goneSeconds(int64_t nowNs) const { return gapSeconds + (lostAt >= 0 ? (nowNs - lostAt) / 1e9 : 0); }
    // The counts of every session of the device so far.
    BrovaStatistics statistics() const;
    // The device as a recording's description gives it (port, kind,
    // configuration, counts, estimated rate, calibration).
    brovatools::SidecarDevice sidecarDevice() const;
    void keepRate();
    void tellRate();
    // The session ends (the device was lost): its counts and rate are kept.
    void endSession();
};

} // namespace brovacli
