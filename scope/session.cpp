#include "session.h"

#include <QThread>

#include <algorithm>

#include "kinds.h"
#include "portcheck.h"

namespace brovascope {

SensorSession::SensorSession(QObject* parent) : QObject(parent)
{
    timer_.setInterval(readIntervalMs);
    connect(&timer_, &QTimer::timeout, this, &SensorSession::poll);
}

SensorSession::~SensorSession()
{
    if (job_)
        job_->wait();
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
    sixAxis_ = k->sixAxis;
    wrench_ = wrench && k->fourChannel;
    lost_ = false;
    daq_ = std::make_unique<BrovaDAQ>();
    BPort record;
    BPort::setText(record.portName, port.toLocal8Bit().constData());
    BPort::setText(record.deviceName, k->text);
    auto ok = std::make_shared<bool>(false);
    auto config = std::make_shared<SensorConfig>();
    BrovaDAQ* daq = daq_.get();
    runJob([daq, record, ok, config] {
               *ok = daq->open(record, true, 1000000);
               if (*ok)
                   *config = daq->getConfig();
           },
           [this, ok, k, config] {
               const int kind = k->code;
               config_ = *config;
               if (!*ok || daq_->getVersion() != k->version) {
                   const bool answered = *ok;
                   daq_->close();
                   daq_.reset();
                   emit opened(false, answered ? QStringLiteral("%1: the device answered as another kind than %2")
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
               samples_ = 0;
               history_.clear();
               clock_.start();
               lastRead_ = 0;
               timer_.start();
               emit opened(true, QStringLiteral("%1: kind %2 open").arg(port_, QString::fromLatin1(k->text)));
           });
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

QStringList SensorSession::groupTitles() const
{
    if (sixAxis_ || wrench_)
        return {QStringLiteral("Force"), QStringLiteral("Torque")};
    QStringList titles;
    const int groups = static_cast<int>(traces_.size()) / 3;
    for (int c = 0; c < groups; ++c)
        titles << (groups > 1 ? QStringLiteral("Channel %1").arg(c) : QStringLiteral("Force vector"));
    return titles;
}

double SensorSession::now() const
{
    return clock_.isValid() ? clock_.nsecsElapsed() / 1e9 : 0.0;
}

int SensorSession::channels() const
{
    return daq_ && !sixAxis_ ? std::max(1, daq_->getSensorSize()) : 1;
}

double SensorSession::measuredRate() const
{
    if (history_.size() < 2)
        return 0.0;
    const double span = (history_.back().first - history_.front().first) / 1e6;
    return span > 0 ? (history_.back().second - history_.front().second) / span : 0.0;
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
    if (n == -2) {
        lost_ = true;
        timer_.stop();
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
    const int64_t now = clock_.nsecsElapsed() / 1000;
    const std::vector<int64_t> times = brovatools::spreadTimes(lastRead_, now, n);
    lastRead_ = now;
    const int channels = sixAxis_ ? 1 : std::max(1, daq_->getSensorSize());
    std::vector<brovatools::SampleRow> rows;
    int state = state_;
    for (int k = 0; k < n; ++k) {
        const double t = times[static_cast<size_t>(k)] / 1e6;
        brovatools::SampleRow r;
        r.sample = samples_ + static_cast<uint64_t>(k);
        r.micros = times[static_cast<size_t>(k)] - recordStart_;
        if (sixAxis_ || wrench_) {
            int six[6];
            if (sixAxis_) {
                const BrovaPackage6D& p = all6_[k];
                const int v[6] = {p.Fx, p.Fy, p.Fz, p.Tx, p.Ty, p.Tz};
                std::copy(v, v + 6, six);
                state = p.sensor1.config.getState();
            } else {
                BrovaDAQ::wrenchOf(all_[k], all_[n + k], all_[2 * n + k], all_[3 * n + k], six);
                state = all_[k].config.getState();
            }
            for (int i = 0; i < 6; ++i)
                traces_[static_cast<size_t>(i)].append(t, six[i]);
            r.sixAxis = true;
            r.state = state;
            std::copy(six, six + 6, r.values);
            rows.push_back(r);
            continue;
        }
        for (int c = 0; c < channels && 3 * c + 2 < static_cast<int>(traces_.size()); ++c) {
            const BrovaPackage& p = all_[c * n + k];
            traces_[static_cast<size_t>(3 * c)].append(t, p.x);
            traces_[static_cast<size_t>(3 * c + 1)].append(t, p.y);
            traces_[static_cast<size_t>(3 * c + 2)].append(t, p.z);
            state = p.config.getState();
            brovatools::SampleRow cr = r;
            cr.channel = c;
            cr.micros += c;
            cr.state = state;
            const int32_t v[12] = {p.x, p.y, p.z, p.s1, p.s2, p.s3, p.s4, p.s5, p.s6, p.s7, p.s8, p.aux};
            std::copy(v, v + 12, cr.values);
            rows.push_back(cr);
        }
    }
    samples_ += static_cast<uint64_t>(n);
    if (sink_) {
        sink_->write(rows);
        recordedSamples_ += static_cast<uint64_t>(n);
    }
    for (Trace& tr : traces_)
        tr.keep(windowSeconds_ + 1.0);
    history_.emplace_back(now, samples_);
    while (history_.size() > 2 && now - history_.front().first > 1000000)
        history_.pop_front();
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
}

void SensorSession::untare(int channel)
{
    if (!isOpen())
        return;
    poll();
    if (channel < 0 || sixAxis_)
        daq_->unzeroAll();
    else
        daq_->unzero(channel);
}

void SensorSession::configure(int rate, int filter, int mode)
{
    if (!isOpen())
        return;
    // Configuring drains what the device sent meanwhile: read it first.
    poll();
    BrovaDAQ* daq = daq_.get();
    auto result = std::make_shared<std::pair<SensorConfig, SensorConfig>>();
    runJob(
        [daq, rate, filter, mode, result] {
            SensorConfig want = daq->getConfig();
            want.setSpeed(rate);
            want.setFilter(filter);
            want.setMode(mode);
            daq->sendConfig(want);
            *result = {want, daq->getConfig()};
        },
        [this, result] {
            const SensorConfig& want = result->first;
            const SensorConfig& got = result->second;
            config_ = got;
            auto text = [](const SensorConfig& c) {
                return QStringLiteral("rate %1 per second, filter %2, mode %3")
                    .arg(c.getSpeed())
                    .arg(c.getFilter() ? QStringLiteral("%1 Hz").arg(c.getFilter()) : QStringLiteral("none"))
                    .arg(c.getMode() ? QStringLiteral("vector") : QStringLiteral("raw"));
            };
            const bool confirmed = ((want.value ^ got.value) & 0x1F) == 0;
            emit configured(confirmed, confirmed ? QStringLiteral("confirmed: %1").arg(text(got))
                                                 : QStringLiteral("not confirmed: the device reports %1").arg(text(got)));
        });
}

bool SensorSession::startRecording(const QString& path, QString& why)
{
    stopRecording();
    if (!isOpen()) {
        why = QStringLiteral("no sensor is open");
        return false;
    }
    record_.reset(std::fopen(path.toLocal8Bit().constData(), "w"));
    if (!record_) {
        why = QStringLiteral("%1: cannot write").arg(path);
        return false;
    }
    poll();  // the recording starts with what comes next
    recordPath_ = path;
    recordStart_ = clock_.nsecsElapsed() / 1000;
    recordedSamples_ = 0;
    sink_ = std::make_unique<brovatools::SampleSink>(record_.get(), brovatools::RowFormat::Csv,
                                                     std::vector<std::string>{port_.toLocal8Bit().toStdString()},
                                                     !(sixAxis_ || wrench_), sixAxis_ || wrench_);
    sink_->writeHeader();
    return true;
}

void SensorSession::stopRecording()
{
    if (!record_)
        return;
    sink_->flush();
    sink_.reset();
    record_.reset();
}

double SensorSession::recordingSeconds() const
{
    return record_ ? (clock_.nsecsElapsed() / 1000 - recordStart_) / 1e6 : 0.0;
}

} // namespace brovascope
