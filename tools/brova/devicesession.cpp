#include "devicesession.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace brovacli {

Opened openDevice(Target target, const QString& given, bool relocate, const ConfigRequest& want, bool tare,
                  bool sixAxis)
{
    Opened o;
    o.target = relocate ? locate(given, target.kind) : target;
    o.daq = openTarget(o.target);
    o.config = applyConfig(*o.daq, o.target.path, want);
    if (tare) {
        // The zero is the newest sample; the samples that came before it are
        // not part of the run.
        o.daq->zeroAll();
        if (sixAxis) {
            BrovaPackage6D* held = nullptr;
            o.daq->readAll6D(held, false);
            delete[] held;
        } else {
            BrovaPackage* held = nullptr;
            o.daq->readAll(held, false);
            delete[] held;
        }
    }
    return o;
}

void addRunOptions(QCommandLineParser& p, const QString& reconnectHelp)
{
    addKindOption(p, true);
    addConfigOptions(p);
    p.addOption({QStringLiteral("six-axis"), QStringLiteral("Read every four-channel device among the ports as one "
                                                            "six-axis sensor (force and torque computed on the host); "
                                                            "six-axis sensors are read as they are.")});
    p.addOption({QStringLiteral("tare"), QStringLiteral("Zero every channel (or the six-axis sensor) at the start.")});
    p.addOption({QStringLiteral("count"), QStringLiteral("Stop after N samples of every port."), QStringLiteral("N")});
    p.addOption({QStringLiteral("duration"), QStringLiteral("Stop after S seconds."), QStringLiteral("S")});
    addCalibrationOptions(p, true);
    p.addOption({QStringLiteral("reconnect"), reconnectHelp});
    p.addPositionalArgument(QStringLiteral("PORT"), QStringLiteral("One or more ports: paths, names, links, or auto."),
                            QStringLiteral("PORT [PORT ...]"));
}

RunOptions runOptionsFrom(const QCommandLineParser& p, const QStringList& args)
{
    RunOptions o;
    o.ports = p.positionalArguments();
    if (o.ports.isEmpty())
        throw Failure(ExitUsage, QStringLiteral("%1 needs at least one PORT (see %1 --help)").arg(args.value(0)));
    o.kinds = kindsFromOption(p, static_cast<int>(o.ports.size()));
    o.want = configFromOptions(p);
    o.sixAxis = p.isSet(QStringLiteral("six-axis"));
    o.tare = p.isSet(QStringLiteral("tare"));
    o.reconnect = p.isSet(QStringLiteral("reconnect"));
    o.count = intOption(p, QStringLiteral("count"), 0);
    if (p.isSet(QStringLiteral("count")) && o.count <= 0)
        throw Failure(ExitUsage, QStringLiteral("--count needs a number above 0"));
    o.duration = secondsOption(p, QStringLiteral("duration"), 0.0);
    o.calibration = calibrationFromOptions(p, static_cast<int>(o.ports.size()));
    return o;
}

void addLowPassOptions(QCommandLineParser& p)
{
    p.addOption({QStringLiteral("lowpass"),
                 QStringLiteral("Also give the values low-pass filtered: a Butterworth filter with its cut-off at HZ "
                                "(below half the sample rate), per axis, on the newtons with a calibration, on the "
                                "counts without; designed for the device's configured rate, started afresh after a "
                                "gap or a reopen. It delays the signal by its group delay (told at the start)."),
                 QStringLiteral("HZ")});
    p.addOption({QStringLiteral("lowpass-order"),
                 QStringLiteral("The low-pass filter's order, 1 ... 8 (default 2): each order adds 20 dB per decade "
                                "above the cut-off, and delay."),
                 QStringLiteral("N")});
}

LowPassOptions lowPassFromOptions(const QCommandLineParser& p, const ConfigRequest& want)
{
    LowPassOptions o;
    const bool orderSet = p.isSet(QStringLiteral("lowpass-order"));
    if (!p.isSet(QStringLiteral("lowpass"))) {
        if (orderSet)
            throw Failure(ExitUsage, QStringLiteral("--lowpass-order needs --lowpass HZ"));
        return o;
    }
    const QString text = p.value(QStringLiteral("lowpass"));
    bool ok = false;
    o.cutoff = text.toDouble(&ok);
    if (!ok)
        o.cutoff = std::nan("");
    if (orderSet) {
        const QString order = p.value(QStringLiteral("lowpass-order"));
        o.order = order.toInt(&ok);
        if (!ok)
            throw Failure(ExitUsage, QStringLiteral("--lowpass-order %1: the order is 1 ... 8").arg(order));
    }
    const std::string why = brovatools::LowPass::check(o.cutoff, o.order, want.rate ? want.rate : 1000);
    if (!why.empty())
        throw Failure(ExitUsage, QStringLiteral("--lowpass %1%2: %3")
                                     .arg(text, orderSet ? QStringLiteral(" --lowpass-order %1").arg(o.order) : QString(),
                                          QString::fromStdString(why)));
    return o;
}

std::string DeviceSession::designFilters(const LowPassOptions& lp, const std::string& name, bool& off)
{
    off = false;
    if (lp.cutoff <= 0)
        return {};
    const int rate = config.getSpeed();
    const size_t count = sixAxis() ? 1 : static_cast<size_t>(std::max(1, daq ? daq->getSensorSize() : 1));
    if (rate == filterRate && filters.size() == count) {
        resetFilters();  // after a gap or a reopen: afresh
        return {};
    }
    const bool wasOn = !filters.empty() && filters[0].on();
    const bool first = filterRate == 0;
    filterRate = rate;
    filters.assign(count, brovatools::LowPass());
    bool on = true;
    for (auto& f : filters)
        on = f.design(lp.cutoff, lp.order, rate, sixAxis() ? 6 : 3) && on;
    char text[256];
    if (!on) {
        filters.clear();
        if (!first && !wasOn)
            return {};
        off = true;
        std::snprintf(text, sizeof text,
                      "%s: low-pass filter off: %g Hz is not below half the rate of %d per second", name.c_str(),
                      lp.cutoff, rate);
        return text;
    }
    std::snprintf(text, sizeof text, "%s: low-pass %g Hz, order %d, at %d per second: %s", name.c_str(), lp.cutoff,
                  lp.order, rate, brovatools::lowPassDelayText(filters[0]).c_str());
    return text;
}

void DeviceSession::resetFilters()
{
    for (auto& f : filters)
        f.reset();
}

void DeviceSession::filterRows(std::vector<brovatools::SampleRow>& rows, size_t from)
{
    if (filters.empty() || !filters[0].on())
        return;
    for (size_t i = from; i < rows.size(); ++i) {
        brovatools::SampleRow& r = rows[i];
        const size_t f = r.sixAxis ? 0 : static_cast<size_t>(r.channel);
        if (f >= filters.size() || (filterNewtons && !r.calibrated))
            continue;
        const int n = r.sixAxis ? 6 : 3;
        for (int k = 0; k < n; ++k)
            r.lowpass[k] = filterNewtons ? r.force[k] : static_cast<double>(r.values[k]);
        filters[f].apply(r.lowpass);
        r.filtered = true;
    }
}

brovatools::SidecarDevice DeviceSession::sidecarDevice() const
{
    brovatools::SidecarDevice d;
    d.port = target.path.toLocal8Bit().toStdString();
    d.kind = kind->code;
    d.kindText = kind->text;
    d.identification = target.ident.toLocal8Bit().toStdString();
    d.sixAxisFromFourChannels = wrench;
    d.rate = config.getSpeed();
    d.filter = config.getFilter();
    d.mode = config.getMode();
    d.samples = samples;
    d.statistics = statistics();
    d.readsLost = readsLost;
    d.estimatedRate = estimatedRate;
    if (const auto& f = calibration.file) {
        d.calibrated = true;
        d.calibration = brovatools::sidecarCalibration(*f, calibration.forced);
    }
    return d;
}

int DeviceSession::readRows(int index, std::vector<brovatools::SampleRow>& rows)
{
    const int n = kind->sixAxis ? daq->readAll6D(all6, false) : daq->readAll(all, false);
    if (n == -1) {
        ++readsLost;
        resetFilters();  // bytes were dropped: never smear across them
    }
    if (n <= 0)
        return n;
    const std::vector<int64_t> stamps = brovatools::stampsOf(*daq, n);
    const std::vector<uint32_t> flags = brovatools::flagsOf(*daq, n);
    const size_t before = rows.size();
    const brovatools::RowCalibration* cal = calibration.file ? &rowCalibration : nullptr;
    if (kind->sixAxis)
        brovatools::appendRows(rows, index, samples, stamps.data(), all6, n, cal, flags.data());
    else
        brovatools::appendRows(rows, index, samples, stamps.data(), all, n, std::max(1, daq->getSensorSize()), wrench,
                               cal, flags.data());
    filterRows(rows, before);
    return n;
}

void DeviceSession::setUp(const RunOptions& o, int index, const std::vector<const DeviceSession*>& earlier)
{
    const QString& port = o.ports.at(index);
    target = locate(port, o.kinds.at(static_cast<size_t>(index)));
    // A reconnection looks for the same port again: a link is resolved
    // afresh, but auto is not a search for any sensor.
    given = port == QLatin1String("auto") ? target.path : port;
    kind = kindOf(target.kind);
    // --six-axis reads the four-channel devices among the ports as six-axis
    // sensors and the others as they are; a run in which it finds no
    // four-channel device has asked for what no device can give.
    wrench = o.sixAxis && kind->fourChannel;
    if (o.sixAxis && index == o.ports.size() - 1 && !wrench &&
        std::none_of(earlier.begin(), earlier.end(), [](const DeviceSession* e) { return e->wrench; })) {
        if (o.ports.size() == 1)
            throw Failure(ExitUsage, QStringLiteral("--six-axis reads a four-channel device (kind 34 or 94); %1 is "
                                                    "kind %2")
                                         .arg(target.path)
                                         .arg(kind->code));
        throw Failure(ExitUsage, QStringLiteral("--six-axis reads a four-channel device (kind 34 or 94); none of the "
                                                "ports is one"));
    }
    for (const DeviceSession* other : earlier)
        if (other->target.path == target.path)
            throw Failure(ExitUsage, QStringLiteral("%1 is named twice").arg(target.path));
    calibration = calibrationFor(o.calibration, index, target, sixAxis());
    rowCalibration.calibration = calibration.file ? &calibration.file->calibration : nullptr;
    for (bool& t : rowCalibration.tared)
        t = o.tare;
}

DeviceSession::~DeviceSession()
{
    if (opening.valid())
        opening.wait();
    if (daq)
        daq->close();
    delete[] all;
    delete[] all6;
}

void DeviceSession::beginOpen(const ConfigRequest& want, bool tare)
{
    openedAt = brovatools::monotonicNow();
    opening = std::async(std::launch::async, openDevice, target, given, false, want, tare, kind->sixAxis);
}

Turn DeviceSession::turn(int64_t nowNs, const ConfigRequest& want, bool tare)
{
    if (opening.valid()) {
        if (opening.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
            return Turn::Waiting;
        Opened o;
        try {
            o = opening.get();
        } catch (const Failure&) {
            if (!opened)
                throw;  // the first open: the run cannot start
            retryAt = nowNs + 250000000;  // not back yet: again after a pause
            return Turn::Waiting;
        }
        target = o.target;
        daq = std::move(o.daq);
        config = o.config;
        opened = true;
        if (lostAt < 0)
            return Turn::Opened;
        lastGap = (openedAt - lostAt) / 1e9;
        gapSeconds += lastGap;
        lastLostAt = lostAt;
        lostAt = -1;
        return Turn::Reopened;
    }
    if (lostAt >= 0) {
        if (nowNs >= retryAt) {
            // A link may lead elsewhere now: the port is found again.
            openedAt = nowNs;
            opening = std::async(std::launch::async, openDevice, target, given, true, want, tare, kind->sixAxis);
        }
        return Turn::Waiting;
    }
    if (!daq)
        return Turn::Waiting;  // done, or never opened
    tellRate();
    return Turn::Streaming;
}

void DeviceSession::tellRate()
{
    // The stamps follow the rate the device keeps; a device that keeps
    // another than it was set to is worth a word, once.
    const double configured = config.getSpeed();
    const double estimated = daq->getEstimatedRate();
    if (rateTold || configured <= 0 || estimated <= 0 || std::abs(estimated / configured - 1) <= 0.01)
        return;
    rateTold = true;
    std::fprintf(stderr, "%sbrova: %s: the device sends %.1f samples per second, %.1f %% off the %d it is configured "
                         "for; its stamps follow the rate it keeps\n",
                 clearLine ? "\r\033[K" : "", target.path.toLocal8Bit().constData(), estimated, (estimated / configured - 1) * 100,
                 static_cast<int>(configured));
}

void DeviceSession::lose(int64_t nowNs)
{
    endSession();
    lostAt = nowNs;
    retryAt = nowNs;
    ++gaps;
}

BrovaStatistics DeviceSession::statistics() const
{
    BrovaStatistics s = daq ? daq->getStatistics() : BrovaStatistics{};
    s.bytesReceived += before.bytesReceived;
    s.framesAccepted += before.framesAccepted;
    s.checksumFailures += before.checksumFailures;
    s.framesMalformed += before.framesMalformed;
    s.bytesDiscarded += before.bytesDiscarded;
    return s;
}

void DeviceSession::keepRate()
{
    if (daq && daq->getEstimatedRate() > 0)
        estimatedRate = daq->getEstimatedRate();
}

void DeviceSession::endSession()
{
    keepRate();
    before = statistics();
    daq.reset();
}

} // namespace brovacli
