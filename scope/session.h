// One open sensor in the live view: opened and configured off the window's
// thread, read on a timer with the batch reads, every sample kept for the
// plots' window at the instant the library's stamps give it (seconds since
// the open), in counts and, with a calibration, in N and N*m, and, while
// recording, written to a CSV file in the format of `brova stream` (the
// calibrated columns beside the counts), or to an MCAP recording as brova
// record writes it (FILE.mcap: ros2view.h, ros2recorder.h).
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <functional>
#include <deque>
#include <memory>
#include <vector>

#include "brovadaq.h"
#include "calibrationlookup.h"
#include "lowpass.h"
#include "ros2recorder.h"
#include "samplerows.h"
#include "traces.h"

class QThread;

namespace brovascope {

class SensorSession : public QObject {
    Q_OBJECT

public:
    static constexpr int readIntervalMs = 20;

    explicit SensorSession(QObject* parent = nullptr);
    ~SensorSession() override;

    // How long a framed kind's identification may take.
    static constexpr int identifyTimeoutMs = 4000;

    // Opens port as kind (31, 34, 64, 68, 94, 95); wrench reads a
    // four-channel device as one six-axis sensor. A framed kind is confirmed
    // by the device's identification reply first: another kind answering is
    // refused. Returns at once; opened() tells the outcome.
    void open(const QString& port, int kind, bool wrench);
    void close();
    bool isOpen() const { return daq_ && !busy_ && !lost_; }
    bool isBusy() const { return busy_; }
    bool isLost() const { return lost_; }
    QString port() const { return port_; }
    int kind() const { return kind_; }
    // The identification text a framed device answered with (empty for a
    // stream device).
    QString identification() const { return ident_; }
    // Read as a six-axis sensor (native, or four channels as one).
    bool readsSixAxis() const { return sixAxis_ || wrench_; }

    // The calibration applied to the samples from now on (null: none, counts
    // only), set after the open. The traces shown are in N and N*m while one
    // is set and counts are not asked for; the counts are kept all the same,
    // so that switching loses nothing. A recording started with a
    // calibration has its columns.
    void setCalibration(std::shared_ptr<const brovatools::CalibrationFile> file, bool forced = false);
    const brovatools::CalibrationFile* calibration() const { return calibration_.get(); }
    void setShowCounts(bool counts) { showCounts_ = counts; }
    bool showsForces() const { return calibration_ && !showCounts_; }
    // The unit of a group's traces as shown: "counts", "N" or "N·m" (a
    // channel the file does not calibrate stays in counts).
    QString groupUnit(int group) const;

    // A host-side low-pass filter (--lowpass): the traces are then the
    // values filtered instead of the raw ones (counts and N alike), a
    // Butterworth of the order with its cut-off at cutoff Hz (0: none), per
    // trace, designed for the device's configured rate at every open and
    // configuration, started afresh after dropped bytes, a reopen or a
    // calibration switched; off, with a line on standard error, while the
    // rate puts the cut-off at or above half of it. Recordings keep the raw
    // samples. Set before open. lowPassText says what it does ("low-pass 20
    // Hz, order 2: group delay ..." or why it is off); empty without one.
    void setLowPass(double cutoff, int order);
    QString lowPassText() const { return lowPassText_; }
    bool lowPassOn() const { return !countFilters_.empty(); }

    // The traces: per channel x, y, z (three-axis kinds), or Fx ... Tz (a
    // six-axis sensor, or a four-channel device read as one). groups() tells
    // how they are grouped for the plots: tracesPerGroup to a group, a
    // channel's, or the forces and the torques.
    static constexpr int tracesPerGroup = 3;
    const std::vector<Trace>& traces() const { return showsForces() ? forceTraces_ : traces_; }
    QStringList groupTitles() const;
    void setWindowSeconds(double s) { windowSeconds_ = s; }
    double now() const;  // seconds since the device was opened: the traces' clock
    int state() const { return state_; }
    // The configuration as the device last reported it (at open, and after
    // each configure).
    SensorConfig config() const { return config_; }
    uint64_t samples() const { return samples_; }
    // Samples whose status flags were set (a field at its converter's rail,
    // a calibrated value over its rated range): how many since the open,
    // whether the newest was, and the stretches of them on the traces'
    // clock (from, to), the newest kept as long as the traces.
    uint64_t flaggedSamples() const { return flagged_; }
    bool overloaded() const { return overloaded_; }
    const std::deque<std::pair<double, double>>& flaggedSpans() const { return flaggedSpans_; }
    int channels() const;  // channels that can be tared one by one
    double measuredRate() const;
    // The device's rate as the library's clock model estimates it (0 until
    // it is established: about a second of samples, 2 to 3 s for a device
    // that does not keep its configured rate).
    double estimatedRate() const;
    BrovaStatistics statistics() const;

    void tare(int channel);  // -1: all
    void untare(int channel);
    // Sends rate, filter and mode; configured() tells what the device confirms.
    void configure(int rate, int filter, int mode);

    // Records every sample from now on to path (CSV, as brova stream writes
    // it, samples numbered from 0), and when it stops, path.json beside it
    // (the sidecar brova stream writes). A path ending in .mcap is an MCAP
    // recording instead, as brova record writes it (the sensor named after
    // its port under /brova; no sidecar), written as path.partial and renamed
    // when it stops. An existing file is replaced only with replace. False,
    // with why, when the file exists (and not replace) or cannot be written.
    // A write that fails while recording stops it and says so with
    // recordingFailed().
    bool startRecording(const QString& path, bool replace, QString& why);
    // Closes the recording and writes its sidecar; false, with why, when not
    // all of it reached the files.
    bool stopRecording(QString* why = nullptr);
    bool recording() const { return record_ != nullptr || mcap_ != nullptr; }
    // The program is ended by a signal: a recording it ends says so in its
    // sidecar.
    void markInterrupted() { interrupted_ = true; }
    QString recordPath() const { return recordPath_; }
    uint64_t recordedSamples() const { return recordedSamples_; }
    double recordingSeconds() const;

signals:
    void opened(bool ok, const QString& message);
    void samplesArrived();
    void lost(const QString& message);
    void configured(bool confirmed, const QString& message);
    void stateChanged(int state);
    void recordingFailed(const QString& message);

private:
    void poll();
    void take(int n);
    // Runs job off the window's thread; done then runs on it.
    void runJob(std::function<void()> job, std::function<void()> done);
    void setState(int state);
    // (Re)designs the filters for the configured rate (see setLowPass).
    void designLowPass();
    bool startMcap(const QString& path, bool replace, QString& why);
    bool stopMcap(QString* why);
    brovatools::SidecarDevice recordedDevice() const;

    std::unique_ptr<BrovaDAQ> daq_;
    QString port_;
    int kind_ = 0;
    QString ident_;  // the identification text a framed device answered with
    bool sixAxis_ = false, wrench_ = false, busy_ = false, lost_ = false;
    QThread* job_ = nullptr;
    QTimer timer_;
    int64_t opened_ = -1;  // when the device was opened: CLOCK_MONOTONIC nanoseconds (-1: not open)
    std::vector<Trace> traces_;       // counts
    std::vector<Trace> forceTraces_;  // N and N*m (counts where not calibrated)
    std::shared_ptr<const brovatools::CalibrationFile> calibration_;
    bool calibrationForced_ = false;
    bool showCounts_ = false;
    brovatools::RowCalibration rowCalibration_;  // which channels are tared
    double windowSeconds_ = 5.0;
    int state_ = 5;
    SensorConfig config_;
    uint64_t samples_ = 0;
    uint64_t flagged_ = 0;
    bool overloaded_ = false;
    std::deque<std::pair<double, double>> flaggedSpans_;
    double lowPassCutoff_ = 0;
    int lowPassOrder_ = brovatools::LowPass::kDefaultOrder;
    std::vector<brovatools::LowPass> countFilters_, forceFilters_;  // per trace; empty: off
    QString lowPassText_;
    brovatools::RateMeter rate_;
    BrovaPackage* all_ = nullptr;
    BrovaPackage6D* all6_ = nullptr;

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> record_{nullptr, &std::fclose};
    std::unique_ptr<brovatools::SampleSink> sink_;
    QString recordPath_;
    QString recordStarted_;  // date and time, for the sidecar
    int64_t recordStart_ = 0;  // monotonic nanoseconds
    uint64_t recordFirst_ = 0;  // the session's number of the recording's first sample
    uint64_t recordedSamples_ = 0;
    uint64_t readsLost_ = 0;
    // An MCAP recording: its recorder, the sensor's topics, when its next
    // status is due (monotonic ns), and the real-time clock of its stamps.
    std::unique_ptr<brovatools::Ros2Recorder> mcap_;
    int64_t nextStatus_ = 0;
    bool mcapReplace_ = false;
    brovatools::RealtimeClock realtime_;
    bool tared_ = false;  // any channel
    bool interrupted_ = false;
    std::shared_ptr<std::atomic<bool>> stopJob_ = std::make_shared<std::atomic<bool>>(false);
};

} // namespace brovascope
