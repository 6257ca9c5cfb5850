#include "devicesession.h"

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
    addKindOption(p);
    addConfigOptions(p);
    p.addOption({QStringLiteral("six-axis"), QStringLiteral("Read a four-channel device as one six-axis sensor "
                                                            "(force and torque computed on the host).")});
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
    o.kindOption = kindFromOption(p);
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

void DeviceSession::setUp(const RunOptions& o, int index, const std::vector<const DeviceSession*>& earlier)
{
    const QString& port = o.ports.at(index);
    target = locate(port, o.kindOption);
    // A reconnection looks for the same port again: a link is resolved
    // afresh, but auto is not a search for any sensor.
    given = port == QLatin1String("auto") ? target.path : port;
    kind = kindOf(target.kind);
    wrench = o.sixAxis;
    if (wrench && !kind->fourChannel)
        throw Failure(ExitUsage, QStringLiteral("--six-axis reads a four-channel device (kind 34 or 94); %1 is kind %2")
                                     .arg(target.path)
                                     .arg(kind->code));
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

void DeviceSession::beginOpen(bool relocate, const ConfigRequest& want, bool tare)
{
    opening = std::async(std::launch::async, openDevice, target, given, relocate, want, tare, kind->sixAxis);
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
