#include "ros2run.h"

#include <cstdio>

#include "ros2types.h"

namespace brovacli {

namespace {

std::string local(const QString& s)
{
    return s.toLocal8Bit().toStdString();
}

} // namespace

void addTopicOptions(QCommandLineParser& p)
{
    p.addOption({QStringLiteral("namespace"), QStringLiteral("The ROS namespace of the topics (default /brova)."),
                 QStringLiteral("NS")});
    p.addOption({QStringLiteral("name"), QStringLiteral("A sensor's name under the namespace; once per PORT, in the "
                                                        "ports' order."),
                 QStringLiteral("NAME")});
    p.addOption({QStringLiteral("frame-id"), QStringLiteral("header.frame_id of a sensor's messages; once per PORT, in "
                                                            "the ports' order (a channel's is FRAME_chN)."),
                 QStringLiteral("FRAME")});
}

TopicOptions topicOptionsFrom(const QCommandLineParser& p, int ports)
{
    TopicOptions o;
    std::string why;
    if (p.isSet(QStringLiteral("namespace")))
        o.ns = local(p.value(QStringLiteral("namespace")));
    if (!brovaros2::validAbsoluteName(o.ns, why))
        throw Failure(ExitUsage, QStringLiteral("--namespace %1 is not a valid ROS namespace: %2")
                                     .arg(QString::fromStdString(o.ns), QString::fromStdString(why)));
    const QStringList frameOption = p.values(QStringLiteral("frame-id"));
    const QStringList names = p.values(QStringLiteral("name"));
    for (const auto& given : {std::make_pair(QStringLiteral("--name"), names),
                              std::make_pair(QStringLiteral("--frame-id"), frameOption)}) {
        if (!given.second.isEmpty() && given.second.size() != ports)
            throw Failure(ExitUsage, QStringLiteral("%1 is given %2 times for %3 ports: give it once per PORT, in the "
                                                    "ports' order")
                                         .arg(given.first)
                                         .arg(given.second.size())
                                         .arg(ports));
    }
    for (const QString& n : names) {
        if (!brovaros2::validRelativeName(local(n), why))
            throw Failure(ExitUsage,
                          QStringLiteral("--name %1 is not a valid ROS name: %2").arg(n, QString::fromStdString(why)));
        o.names.push_back(local(n));
    }
    for (const QString& f : frameOption) {
        if (f.isEmpty())
            throw Failure(ExitUsage, QStringLiteral("--frame-id needs a frame name"));
        o.frames.push_back(local(f));
    }
    return o;
}

Ros2Sensor ros2Sensor(const TopicOptions& o, int index, const DeviceSession& s,
                      const std::vector<const Ros2Sensor*>& earlier)
{
    Ros2Sensor r;
    const size_t i = static_cast<size_t>(index);
    r.name = o.names.empty() ? brovaros2::nameFromPort(local(s.target.path)) : o.names.at(i);
    for (const Ros2Sensor* other : earlier)
        if (other->name == r.name)
            throw Failure(ExitUsage, QStringLiteral("two sensors are named %1: give each its own --name")
                                         .arg(QString::fromStdString(r.name)));
    r.frameId = o.frames.empty() ? r.name : o.frames.at(i);
    r.topics = brovatools::wrenchTopics(o.ns, r.name, r.frameId, s.sixAxis(), s.kind->fourChannel ? 4 : 1);
    return r;
}

brovatools::SensorReport reportOf(const DeviceSession& s, const Ros2Sensor& r, int64_t nowNs)
{
    brovatools::SensorReport x;
    x.name = r.name;
    x.port = local(s.target.path);
    x.identification = local(s.target.ident);
    x.kind = s.kind->code;
    x.wrench = s.wrench;
    x.topics = &r.topics;
    x.lost = s.lostAt >= 0;
    x.opening = !x.lost && !s.daq;
    x.done = s.done;
    x.state = x.lost ? -1 : r.state;
    x.configuredRate = s.config.getSpeed();
    x.estimatedRate = s.daq && s.daq->getEstimatedRate() > 0 ? s.daq->getEstimatedRate() : s.estimatedRate;
    x.samples = s.samples;
    x.statistics = s.statistics();
    x.readsLost = s.readsLost;
    x.calibration = s.calibration.file ? s.calibration.file->path : std::string();
    x.gaps = s.gaps;
    x.gapSeconds = s.goneSeconds(nowNs);
    x.lastGapSeconds = x.lost ? (nowNs - s.lostAt) / 1e9 : s.lastGap;
    return x;
}

Turn Ros2Session::ros2Turn(int64_t nowNs, const ConfigRequest& want, bool tare, const LowPassOptions& lowPass,
                           const char* what, int& result, QString& failure)
{
    Turn t;
    try {
        t = turn(nowNs, want, tare);
    } catch (const Failure& f) {
        if (result == ExitOk) {
            failure = QString::fromStdString(f.what());
            result = f.code;
        }
        return Turn::Waiting;
    }
    if (t == Turn::Reopened)
        std::fprintf(stderr, "brova: %s: reopened after a gap of %.2f s\n", ros.name.c_str(), lastGap);
    if (t == Turn::Opened || t == Turn::Reopened) {
        bool off = false;
        const std::string told = designFilters(lowPass, ros.name, off);
        if (!told.empty()) {
            std::fprintf(stderr, "brova: %s%s%s\n", told.c_str(), off ? "; wrench_filtered is not " : "",
                         off ? what : "");
            filterOff = off ? told : std::string();
            statusDue = true;
        }
    }
    return t;
}

} // namespace brovacli
