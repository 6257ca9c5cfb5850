#include "session.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "configrequest.h"
#include "identify.h"
#include "kinds.h"
#include "portcheck.h"
#include "sidecar.h"

namespace brovascope {

SensorSession::SensorSession(QObject* parent) : QObject(parent)
{
    timer_.setInterval(readIntervalMs);
    connect(&timer_, &QTimer::timeout, this, &SensorSession::poll);
}

SensorSession::~SensorSession()
{
    if (job_) {
        *stopJob_ = true;  // an identification in progress gives up
        // Its finished handler, queued to this object, never runs now.
        job_->wait();
        delete job_;
    }
    close();
}

void SensorSession::runJob(std::function<void()> job, std::function<void()> done)
{
    busy_ = true;
    job_ = QThread::create(std::move(job));
    connect(job_, &QThread::finished, this, [this, done = std::move(done)] {
        job_->deleteLater();
        job_ = nullptr;
        busy_ = false;
        done();
    });
    job_->start();
}

void SensorSession::open(const QString& port, int kind, bool wrench)
{
    if (busy_) {
        emit opened(false, QStringLiteral("still busy with %1").arg(port_));
        return;
    }
    close();
    const brovatools::Kind* k = brovatools::kindOf(kind);
    if (!k) {
        emit opened(false, QStringLiteral("%1 is not a sensor kind").arg(kind));
        return;
    }
    std::string why;
    if (brovatools::checkPort(port.toLocal8Bit().toStdString(), why) != brovatools::PortProblem::None) {
        emit opened(false, QString::fromLocal8Bit(why.c_str()));
        return;
    }
    port_ = port;
    kind_ = kind;
    ident_.clear();
    lowPassText_.clear();
    countFilters_.clear();
    forceFilters_.clear();
    sixAxis_ = k->sixAxis;
    wrench_ = wrench && k->fourChannel;
    lost_ = false;
    tared_ = false;
    rowCalibration_ = {};
    calibration_.reset();
    calibrationForced_ = false;
    daq_ = std::make_unique<BrovaDAQ>();
    BPort record;
    BPort::setText(record.portName, port.toLocal8Bit().constData());
    BPort::setText(record.deviceName, k->text);
    auto ok = std::make_shared<bool>(false);
    auto config = std::make_shared<SensorConfig>();
    auto openedAt = std::make_shared<int64_t>(0);
    // A framed device announces nothing in its data frames: read as another
    // framed kind it gives numbers that mean nothing. Its identification
    // reply tells what it is.
    const bool confirm = brovatools::needsIdentification(kind);
    auto identity = std::make_shared<brovatools::Identity>();
    const std::string path = port.toLocal8Bit().toStdString();
    BrovaDAQ* daq = daq_.get();
    runJob([daq, record, ok, config, confirm, kind, path, identity, openedAt, stop = stopJob_] {
               if (confirm) {
                   *identity = brovatools::identifyPort(path, identifyTimeoutMs, [stop] { return stop->load(); });
                   if (identity->kind != kind)
                       return;
               }
               *openedAt = brovatools::monotonicNow();  // the traces' time 0: no sample is older
               *ok = daq->open(record, true, 1000000);
               if (*ok)
                   *config = daq->getConfig();
           },
           [this, ok, k, config, confirm, identity, openedAt] {
               const int kind = k->code;
               config_ = *config;
               if (confirm && identity->kind != kind) {
                   daq_.reset();
                   const QString text = identity->text.empty()
                                            ? QString()
                                            : QStringLiteral(" (%1)").arg(QString::fromStdString(identity->text));
                   emit opened(false, identity->kind
                                          ? QStringLiteral("%1: another kind answered: kind %2%3, not kind %4. "
                                                           "Nothing is shown from it.")
                                                .arg(port_)
                                                .arg(identity->kind)
                                                .arg(text)
                                                .arg(kind)
                                          : QStringLiteral("%1: nothing answered as a kind-%2 sensor").arg(port_).arg(kind));
                   return;
               }
               ident_ = QString::fromStdString(identity->text);
               if (!*ok || daq_->getVersion() != k->version) {
                   const bool answered = *ok;
                   daq_->close();
                   daq_.reset();
                   emit opened(false, answered ? QStringLiteral("%1: another kind answered, not kind %2")
                                                     .arg(port_)
                                                     .arg(kind)
                                               : QStringLiteral("%1: nothing answered as a kind-%2 sensor")
                                                     .arg(port_)
                                                     .arg(kind));
                   return;
               }
               traces_.clear();
               if (sixAxis_ || wrench_) {
                   for (const char* n : {"Fx", "Fy", "Fz", "Tx", "Ty", "Tz"})
                       traces_.emplace_back(QString::fromLatin1(n));
               } else {
                   const int n = std::max(1, daq_->getSensorSize());
                   for (int c = 0; c < n; ++c)
                       for (const char* axis : {"x", "y", "z"})
                           traces_.emplace_back(n > 1 ? QStringLiteral("ch%1 %2").arg(c).arg(QLatin1String(axis))
                                                      : QString::fromLatin1(axis));
               }
               forceTraces_ = traces_;
               designLowPass();
               samples_ = 0;
               flagged_ = 0;
               overloaded_ = false;
               flaggedSpans_.clear();
               rate_.clear();
               opened_ = *openedAt;
               timer_.start();
               emit opened(true, QStringLiteral("%1: kind %2 open").arg(port_, QString::fromLatin1(k->text)));
           });
}

void SensorSession::setLowPass(double cutoff, int order)
{
    lowPassCutoff_ = cutoff;
    lowPassOrder_ = order;
}

void SensorSession::designLowPass()
{
    if (lowPassCutoff_ <= 0)
        return;
    const bool wasOff = !lowPassText_.isEmpty() && !lowPassOn();
    const int rate = config_.getSpeed();
    countFilters_.assign(traces_.size(), brovatools::LowPass());
    bool on = true;
    for (auto& f : countFilters_)
        on = f.design(lowPassCutoff_, lowPassOrder_, rate, 1) && on;
    if (!on) {
        countFilters_.clear();
        forceFilters_.clear();
        lowPassText_ = QStringLiteral("low-pass off: %1 Hz is not below half the rate of %2 per second")
                           .arg(lowPassCutoff_)
                           .arg(rate);
        if (!wasOff)
            std::fprintf(stderr, "brova-scope: %s: %s\n", port_.toLocal8Bit().constData(),
                         lowPassText_.toLocal8Bit().constData());
        return;
    }
    forceFilters_ = countFilters_;
    lowPassText_ = QStringLiteral("low-pass %1 Hz, order %2: %3")
                       .arg(lowPassCutoff_)
                       .arg(lowPassOrder_)
                       .arg(QString::fromStdString(brovatools::lowPassDelayText(countFilters_[0])));
}

void SensorSession::close()
{
    timer_.stop();
    stopRecording();
    if (daq_ && !busy_) {
        daq_->close();
        daq_.reset();
    }
    delete[] all_;
    all_ = nullptr;
    delete[] all6_;
    all6_ = nullptr;
}

void SensorSession::setCalibration(std::shared_ptr<const brovatools::CalibrationFile> file, bool forced)
{
    calibration_ = std::move(file);
    calibrationForced_ = calibration_ && forced;
    rowCalibration_.calibration = calibration_ ? &calibration_->calibration : nullptr;
    for (Trace& t : forceTraces_)
        t.clear();
    for (auto& f : forceFilters_)
        f.reset();  // another unit, or other values: afresh
}

QString SensorSession::groupUnit(int group) const
{
    const QString counts = QStringLiteral("counts");
    if (!showsForces())
        return counts;
    const BrovaCalibration& c = calibration_->calibration;
    if (sixAxis_ || wrench_)
        return !c.hasSixAxis() ? counts : group == 0 ? QStringLiteral("N") : QStringLiteral("N·m");
    return c.hasChannel(group) ? QStringLiteral("N") : counts;
}

QStringList SensorSession::groupTitles() const
{
    if (sixAxis_ || wrench_)
        return {QStringLiteral("Force"), QStringLiteral("Torque")};
    QStringList titles;
    const int groups = static_cast<int>(traces_.size()) / tracesPerGroup;
    for (int c = 0; c < groups; ++c)
        titles << (groups > 1 ? QStringLiteral("Channel %1").arg(c) : QStringLiteral("Force vector"));
    return titles;
}

double SensorSession::now() const
{
    return opened_ >= 0 ? (brovatools::monotonicNow() - opened_) / 1e9 : 0.0;
}

int SensorSession::channels() const
{
    return daq_ && !sixAxis_ ? std::max(1, daq_->getSensorSize()) : 1;
}

double SensorSession::measuredRate() const
{
    return rate_.perSecond();
}

double SensorSession::estimatedRate() const
{
    return daq_ && !busy_ && !lost_ ? daq_->getEstimatedRate() : 0.0;
}

BrovaStatistics SensorSession::statistics() const
{
    return daq_ && !busy_ ? daq_->getStatistics() : BrovaStatistics{};
}

void SensorSession::setState(int state)
{
    if (state == state_)
        return;
    state_ = state;
    emit stateChanged(state);
}

void SensorSession::poll()
{
    if (!daq_ || busy_ || lost_)
        return;
    const int n = sixAxis_ ? daq_->readAll6D(all6_, false) : daq_->readAll(all_, false);
    if (n == -1 && recording())
        ++readsLost_;
    if (n == -1) {
        // Bytes were dropped: the filters never smear across them.
        for (auto& f : countFilters_)
            f.reset();
        for (auto& f : forceFilters_)
            f.reset();
    }
    if (n == -2) {
        lost_ = true;
        timer_.stop();
        rate_.clear();
        const QString kept = recording() ? QStringLiteral(" The %1 samples recorded are kept in %2.")
                                               .arg(recordedSamples_)
                                               .arg(recordPath_)
                                         : QString();
        stopRecording();
        emit lost(QStringLiteral("The sensor on %1 stopped sending: unplugged, or silent for half a second. The "
                                 "plot is stopped.%2")
                      .arg(port_, kept));
        return;
    }
    if (n > 0)
        take(n);
}

void SensorSession::take(int n)
{
    const std::vector<int64_t> stamps = brovatools::stampsOf(*daq_, n);
    const std::vector<uint32_t> flags = brovatools::flagsOf(*daq_, n);
    std::vector<brovatools::SampleRow> rows;
    const brovatools::RowCalibration* cal = calibration_ ? &rowCalibration_ : nullptr;
    if (sixAxis_)
        brovatools::appendRows(rows, 0, samples_, stamps.data(), all6_, n, cal, flags.data());
    else
        brovatools::appendRows(rows, 0, samples_, stamps.data(), all_, n, channels(), wrench_, cal, flags.data());
    // The plot shows x, y, z of every channel, or the six components: in
    // counts, and in N and N*m where calibrated.
    int state = state_;
    for (const brovatools::SampleRow& r : rows) {
        const double t = (r.stamp - opened_) / 1e9;
        const int first = r.sixAxis ? 0 : tracesPerGroup * r.channel;
        const int count = r.sixAxis ? 6 : tracesPerGroup;
        for (int i = 0; i < count && first + i < static_cast<int>(traces_.size()); ++i) {
            const size_t k = static_cast<size_t>(first + i);
            double v = r.values[i];
            if (k < countFilters_.size())
                countFilters_[k].apply(&v);
            traces_[k].append(t, v);
            if (cal) {
                double f = r.calibrated ? r.force[i] : r.values[i];
                if (k < forceFilters_.size())
                    forceFilters_[k].apply(&f);
                forceTraces_[k].append(t, f);
            }
        }
        state = r.state;
    }
    // The flagged stretches: a sample's rows are together, in order.
    for (size_t i = 0; i < rows.size();) {
        const uint64_t sample = rows[i].sample;
        const double t = (rows[i].stamp - opened_) / 1e9;
        uint32_t bits = 0;
        for (; i < rows.size() && rows[i].sample == sample; ++i)
            bits |= rows[i].flags;
        if (bits) {
            ++flagged_;
            if (overloaded_ && !flaggedSpans_.empty())
                flaggedSpans_.back().second = t;
            else
                flaggedSpans_.emplace_back(t, t);
        }
        overloaded_ = bits != 0;
    }
    while (!flaggedSpans_.empty() && !traces_.empty() &&
           flaggedSpans_.front().second < traces_.front().newestTime() - windowSeconds_ - 1.0)
        flaggedSpans_.pop_front();
    if (mcap_) {
        const int64_t now = brovatools::monotonicNow();
        const int64_t offset = realtime_.offset(now);
        const uint64_t first = samples_ - recordFirst_;
        brovarecording::Status written =
            sixAxis_ ? mcap_->addRead(0, first, stamps.data(), all6_, n, n, cal, offset, flags.data())
                     : mcap_->addRead(0, first, stamps.data(), all_, n, n, channels(), wrench_, cal, offset,
                                      flags.data());
        recordedSamples_ += static_cast<uint64_t>(n);
        if (written && now >= nextStatus_) {
            // Once a second, the status brova record sends.
            brovatools::SensorReport r;
            r.name = brovaros2::nameFromPort(port_.toLocal8Bit().toStdString());
            r.port = port_.toLocal8Bit().toStdString();
            r.identification = ident_.toStdString();
            r.kind = kind_;
            r.wrench = wrench_;
            r.topics = &mcap_->topics(0);
            r.state = mcap_->state(0);
            r.configuredRate = config_.getSpeed();
            r.estimatedRate = estimatedRate();
            r.samples = recordedSamples_;
            r.statistics = statistics();
            r.readsLost = readsLost_;
            r.calibration = calibration_ ? calibration_->path : std::string();
            mcap_->reportFlags(0, r);
            written = mcap_->addDiagnostics({brovatools::diagnosticStatus("brova-scope", r)}, now + offset);
            nextStatus_ = now + 1000000000;
        }
        if (written)
            written = mcap_->tick(now);
        if (!written) {
            const QString message = QString::fromLocal8Bit(written.message.c_str());
            stopRecording();
            emit recordingFailed(QStringLiteral("Recording stopped: %1. Every complete chunk written before is kept in "
                                                "%2.partial.")
                                     .arg(message, recordPath_));
        }
    }
    samples_ += static_cast<uint64_t>(n);
    if (sink_) {
        for (brovatools::SampleRow& r : rows)
            r.sample -= recordFirst_;
        sink_->write(rows);
        recordedSamples_ += static_cast<uint64_t>(n);
        if (std::ferror(record_.get())) {
            stopRecording();
            emit recordingFailed(QStringLiteral("Recording stopped: %1 cannot be written (is the disk full?). "
                                                "What was written before is kept.")
                                     .arg(recordPath_));
        }
    }
    for (Trace& tr : traces_)
        tr.keep(windowSeconds_ + 1.0);
    for (Trace& tr : forceTraces_)
        tr.keep(windowSeconds_ + 1.0);
    rate_.add((brovatools::monotonicNow() - opened_) / 1000, samples_);
    setState(state);
    emit samplesArrived();
}

void SensorSession::tare(int channel)
{
    if (!isOpen())
        return;
    poll();  // what came before the tare is read with the offsets it came under
    if (channel < 0 || sixAxis_)
        daq_->zeroAll();
    else
        daq_->zero(channel);
    tared_ = true;
    // From now on the calibration leaves the bias out of the tared channels.
    for (int c = 0; c < 4; ++c)
        if (channel < 0 || sixAxis_ || c == channel)
            rowCalibration_.tared[c] = true;
}

void SensorSession::untare(int channel)
{
    if (!isOpen())
        return;
    poll();
    if (channel < 0 || sixAxis_) {
        daq_->unzeroAll();
        tared_ = false;
    } else {
        daq_->unzero(channel);
    }
    for (int c = 0; c < 4; ++c)
        if (channel < 0 || sixAxis_ || c == channel)
            rowCalibration_.tared[c] = false;
}

void SensorSession::configure(int rate, int filter, int mode)
{
    if (!isOpen())
        return;
    // Configuring drains what the device sent meanwhile: read it first.
    poll();
    BrovaDAQ* daq = daq_.get();
    brovatools::ConfigRequest want;
    want.rate = rate;
    want.filter = filter;
    want.mode = mode;
    auto got = std::make_shared<SensorConfig>();
    runJob(
        [daq, want, got] {
            daq->sendConfig(want.appliedTo(daq->getConfig()));
            *got = daq->getConfig();
        },
        [this, want, got] {
            const int rate = config_.getSpeed();
            config_ = *got;
            if (config_.getSpeed() != rate)
                designLowPass();
            const QString text = QString::fromStdString(brovatools::describeConfig(*got));
            const bool confirmed = want.confirmedBy(*got);
            emit configured(confirmed, confirmed ? QStringLiteral("confirmed: %1").arg(text)
                                                 : QStringLiteral("not confirmed: the device reports %1").arg(text));
        });
}

bool SensorSession::startRecording(const QString& path, bool replace, QString& why)
{
    stopRecording();
    if (!isOpen()) {
        why = QStringLiteral("no sensor is open");
        return false;
    }
    if (path.endsWith(QStringLiteral(".mcap"), Qt::CaseInsensitive))
        return startMcap(path, replace, why);
    // Without replace the file is made new, never written over ("x").
    errno = 0;
    record_.reset(std::fopen(path.toLocal8Bit().constData(), replace ? "w" : "wx"));
    if (!record_) {
        why = errno == EEXIST ? QStringLiteral("%1 exists already").arg(path)
                              : QStringLiteral("%1: cannot write: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    poll();  // the recording starts with what comes next
    recordPath_ = path;
    recordStarted_ = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    recordStart_ = brovatools::monotonicNow();
    recordFirst_ = samples_;
    recordedSamples_ = 0;
    readsLost_ = 0;
    sink_ = std::make_unique<brovatools::SampleSink>(record_.get(), brovatools::RowFormat::Csv,
                                                     std::vector<std::string>{port_.toLocal8Bit().toStdString()},
                                                     !(sixAxis_ || wrench_), sixAxis_ || wrench_,
                                                     brovatools::TimeClock::Relative, BrovaDAQ::getRealtimeOffset());
    if (calibration_)
        sink_->setForceColumns(!(sixAxis_ || wrench_), sixAxis_ || wrench_);
    sink_->writeHeader();
    return true;
}

brovatools::SidecarDevice SensorSession::recordedDevice() const
{
    brovatools::SidecarDevice d;
    const brovatools::Kind* k = brovatools::kindOf(kind_);
    d.port = port_.toLocal8Bit().toStdString();
    d.kind = kind_;
    d.kindText = k ? k->text : "";
    d.identification = ident_.toStdString();
    d.sixAxisFromFourChannels = wrench_;
    d.rate = config_.getSpeed();
    d.filter = config_.getFilter();
    d.mode = config_.getMode();
    d.samples = recordedSamples_;
    d.statistics = statistics();
    d.readsLost = readsLost_;
    d.estimatedRate = estimatedRate();
    if (calibration_) {
        d.calibrated = true;
        d.calibration = brovatools::sidecarCalibration(*calibration_, calibrationForced_);
    }
    return d;
}

bool SensorSession::startMcap(const QString& path, bool replace, QString& why)
{
    const QString partial = path + QStringLiteral(".partial");
    if (!replace && (QFileInfo::exists(path) || QFileInfo::exists(partial))) {
        why = QStringLiteral("%1 exists already").arg(QFileInfo::exists(path) ? path : partial);
        return false;
    }
    if (replace)
        QFile::remove(partial);
    auto recorder = std::make_unique<brovatools::Ros2Recorder>();
    brovatools::RecorderOptions o;
    o.program = "brova-scope";
    o.version = BRV_VERSION;
    o.replace = replace;
    o.fileName = QFileInfo(path).fileName().toStdString();
    brovarecording::Status s = recorder->open(partial.toLocal8Bit().toStdString(), o);
    const std::string name = brovaros2::nameFromPort(port_.toLocal8Bit().toStdString());
    brovatools::RecordedSensor r;
    r.name = name;
    r.frameId = name;
    r.topics = brovatools::wrenchTopics("/brova", name, name, sixAxis_ || wrench_, channels());
    r.countsTopic = brovaros2::rosTopic("/brova", name + "/counts");
    r.calibration = calibration_;
    int index = 0;
    if (s)
        s = recorder->addSensor(r, index);
    if (!s) {
        why = QString::fromLocal8Bit(s.message.c_str());
        if (recorder->isOpen()) {
            recorder->finish({}, {});
            QFile::remove(partial);
        }
        return false;
    }
    poll();  // the recording starts with what comes next
    mcap_ = std::move(recorder);
    mcapReplace_ = replace;
    recordPath_ = path;
    recordStarted_ = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    recordStart_ = brovatools::monotonicNow();
    recordFirst_ = samples_;
    recordedSamples_ = 0;
    readsLost_ = 0;
    nextStatus_ = 0;
    return true;
}

bool SensorSession::stopMcap(QString* why)
{
    std::unique_ptr<brovatools::Ros2Recorder> recorder = std::move(mcap_);
    const QString partial = recordPath_ + QStringLiteral(".partial");
    const bool failed = !recorder->status();
    brovarecording::Status s = recorder->finish(
        failed ? std::vector<brovatools::SidecarDevice>{} : std::vector<brovatools::SidecarDevice>{recordedDevice()},
        {{"started", recordStarted_.toStdString()},
         {"seconds", QString::number((brovatools::monotonicNow() - recordStart_) / 1e9, 'f', 3).toStdString()},
         {"namespace", "/brova"},
         {"tare", tared_ ? "yes" : "no"},
         {"ended by", interrupted_ ? "a signal" : "Stop"}});
    if (failed || !s) {
        if (why)
            *why = QStringLiteral("%1: %2; what was written is kept in %3")
                       .arg(recordPath_, QString::fromLocal8Bit(s.message.c_str()), partial);
        return false;
    }
    // Moved into place; over an existing file only when the user said to
    // replace it (QFile::rename never replaces one).
    if (mcapReplace_)
        QFile::remove(recordPath_);
    if (!QFile::rename(partial, recordPath_)) {
        if (why)
            *why = QStringLiteral("%1 cannot be named so; the recording is in %2").arg(recordPath_, partial);
        return false;
    }
    return true;
}

bool SensorSession::stopRecording(QString* why)
{
    if (mcap_)
        return stopMcap(why);
    if (!record_)
        return true;
    const bool flushed = sink_->flush();
    brovatools::SidecarRun run;
    run.started = recordStarted_.toStdString();
    run.seconds = recordingSeconds();
    run.format = "csv";
    run.columns = sink_->columns();
    run.clock = brovatools::timeClockName(sink_->clock());
    run.realtimeOffsetNs = sink_->realtimeOffset();
    run.originNs = sink_->origin();
    run.tare = tared_;
    run.interrupted = interrupted_;
    run.devices.push_back(recordedDevice());
    sink_.reset();
    if (std::fclose(record_.release()) != 0 || !flushed) {
        if (why)
            *why = QStringLiteral("%1: the end of the recording could not be written").arg(recordPath_);
        return false;
    }
    std::string error;
    if (!brovatools::writeSidecar(recordPath_.toLocal8Bit().toStdString() + ".json", run, error)) {
        if (why)
            *why = QStringLiteral("%1.json: cannot write: %2").arg(recordPath_, QString::fromLocal8Bit(error.c_str()));
        return false;
    }
    return true;
}

double SensorSession::recordingSeconds() const
{
    return recording() ? (brovatools::monotonicNow() - recordStart_) / 1e9 : 0.0;
}

} // namespace brovascope
