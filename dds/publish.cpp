// brova publish: the sensors' samples as ROS 2 topics, over plain DDS.
//
// Every six-axis sensor (kinds 64 and 95, or a four-channel device read with
// --six-axis) is one topic <namespace>/<name>/wrench of type
// geometry_msgs/msg/WrenchStamped; every three-axis channel is one topic
// <namespace>/<name>/ch<N>/wrench with its force and a zero torque. Once a
// second a diagnostic_msgs/msg/DiagnosticArray on /diagnostics holds a status
// per sensor. Ports, kinds, configuration, tare, calibration and reconnection
// are brova stream's (the same helpers).
#include <QCommandLineParser>
#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "devicesession.h"
#include "ros2run.h"
#include "ros2_msgs.h"
#include "ros2dds.h"
#include "ros2types.h"
#include "ros2view.h"
#include "samplerows.h"

using namespace brovacli;
using brovatools::SampleRow;

namespace {

std::string local(const QString& s)
{
    return s.toLocal8Bit().toStdString();
}

struct Sensor : Ros2Session {
    std::vector<dds_entity_t> writers;  // one per topic
    // Samples whose write DDS refused (each one lost to every subscriber),
    // the last reason, and the count the last status reported.
    uint64_t writeFailures = 0, failuresReported = 0;
    dds_return_t lastWriteError = DDS_RETCODE_OK;
    // With --lowpass: NS/.../wrench_filtered beside each topic, the same
    // samples low-pass filtered.
    std::vector<std::string> filteredTopics;
    std::vector<dds_entity_t> filteredWriters;
    // Flagged samples (a field at its rail, a value over its rated range):
    // in all, and since the last status; whether the newest one was, as
    // NS/NAME/overload last said it (-1: not said yet).
    uint64_t flagged = 0, flaggedReported = 0;
    uint32_t flaggedBits = 0;  // what those since the last status told
    int overloadSaid = -1;
    std::string overloadTopic;
    dds_entity_t overloadWriter = 0;
};

// The DDS side: a participant, the wrench writers and the diagnostics writer.
// Deleting the participant deletes them all; a reliable writer lingers until
// what it wrote is acknowledged (Cyclone DDS's writer linger, 1 s).
struct Bus {
    dds_entity_t participant = 0;
    dds_entity_t diagnostics = 0;
    uint64_t diagnosticsFailures = 0;  // statuses whose write failed
    ~Bus()
    {
        if (participant > 0)
            dds_delete(participant);
    }
};

dds_entity_t makeWriter(dds_entity_t participant, const dds_topic_descriptor_t* type, const char* rosType,
                        const std::string& rosName, bool reliable, int depth, bool latched = false)
{
    const std::string name = brovadds::ddsTopic(rosName);
    const dds_entity_t topic = dds_create_topic(participant, type, name.c_str(), nullptr, nullptr);
    if (topic < 0)
        throw Failure(ExitFailure, QStringLiteral("cannot make the DDS topic %1: %2")
                                       .arg(QString::fromStdString(name), QString::fromLatin1(dds_strretcode(topic))));
    dds_qos_t* qos = brovadds::rosQos(reliable, depth);
    if (latched)
        dds_qset_durability(qos, DDS_DURABILITY_TRANSIENT_LOCAL);
    brovadds::setTypeHash(qos, rosType);
    const dds_entity_t writer = dds_create_writer(participant, topic, qos, nullptr);
    dds_delete_qos(qos);
    if (writer < 0)
        throw Failure(ExitFailure, QStringLiteral("cannot make a DDS writer for %1: %2")
                                       .arg(QString::fromStdString(name), QString::fromLatin1(dds_strretcode(writer))));
    return writer;
}

void toTime(const brovaros2::Time& time, builtin_interfaces_msg_dds__Time_& t)
{
    t.sec_ = time.sec;
    t.nanosec_ = time.nanosec;
}

// Publishes one row: a six-axis row on the sensor's topic, a three-axis row
// on its channel's (zero torque). Calibrated values when the row has them,
// counts otherwise (the message is the recordings' too: ros2view.h).
void publishRow(Sensor& s, const SampleRow& r, int64_t realtimeOffset)
{
    const size_t index = r.sixAxis ? 0 : static_cast<size_t>(r.channel);
    brovatools::Ros2Topic& t = s.ros.topics[index];
    const brovaros2::WrenchStamped w = brovatools::wrenchMessage(t, r, realtimeOffset);
    geometry_msgs_msg_dds__WrenchStamped_ m{};
    toTime(w.stamp, m.header_.stamp_);
    m.header_.frame_id_ = const_cast<char*>(t.frameId.c_str());
    m.wrench_.force_ = {w.force[0], w.force[1], w.force[2]};
    m.wrench_.torque_ = {w.torque[0], w.torque[1], w.torque[2]};
    // A write DDS refuses (out of resources, or a full history that did not
    // drain within the writer's blocking time) is a sample no subscriber
    // gets: counted, said once, and in the diagnostics and exit status.
    const dds_return_t written = dds_write(s.writers[index], &m);
    if (written != DDS_RETCODE_OK) {
        if (s.writeFailures++ == 0)
            std::fprintf(stderr, "brova: %s: a message could not be written to %s: %s (every failed write is counted "
                                 "in the diagnostics)\n",
                         s.ros.name.c_str(), t.ros.c_str(), dds_strretcode(written));
        s.lastWriteError = written;
    }
    if (!r.filtered || index >= s.filteredWriters.size())
        return;
    // The filtered values, with the sample's own stamp.
    m.wrench_.force_ = {r.lowpass[0], r.lowpass[1], r.lowpass[2]};
    m.wrench_.torque_ = r.sixAxis ? geometry_msgs_msg_dds__Vector3_{r.lowpass[3], r.lowpass[4], r.lowpass[5]}
                                  : geometry_msgs_msg_dds__Vector3_{0, 0, 0};
    const dds_return_t filtered = dds_write(s.filteredWriters[index], &m);
    if (filtered != DDS_RETCODE_OK) {
        if (s.writeFailures++ == 0)
            std::fprintf(stderr, "brova: %s: a message could not be written to %s: %s (every failed write is counted "
                                 "in the diagnostics)\n",
                         s.ros.name.c_str(), s.filteredTopics[index].c_str(), dds_strretcode(filtered));
        s.lastWriteError = filtered;
    }
}

// NS/NAME/overload: true while the sensor's samples are flagged, written
// when that changes (and with the first samples); latched for subscribers
// that come later.
void sayOverload(Sensor& s)
{
    const int now = s.overloaded ? 1 : 0;
    if (now == s.overloadSaid || !s.overloadWriter)
        return;
    std_msgs_msg_dds__Bool_ m{};
    m.data_ = s.overloaded;
    const dds_return_t written = dds_write(s.overloadWriter, &m);
    if (written != DDS_RETCODE_OK) {
        if (s.writeFailures++ == 0)
            std::fprintf(stderr, "brova: %s: a message could not be written to %s: %s\n", s.ros.name.c_str(),
                         s.overloadTopic.c_str(), dds_strretcode(written));
        s.lastWriteError = written;
        return;
    }
    s.overloadSaid = now;
}

// Reads what arrived and publishes it; false when the device is lost.
bool readAndPublish(Sensor& s, uint64_t countLimit, std::vector<SampleRow>& rows, int64_t realtimeOffset)
{
    rows.clear();
    const int n = s.readRows(0, rows);
    if (n == -2)
        return false;
    if (n <= 0)
        return true;
    for (size_t i = 0; i < rows.size();) {
        // The rows of one sample: published, then its flags counted.
        const uint64_t sample = rows[i].sample;
        uint32_t bits = 0;
        bool any = false;
        for (; i < rows.size() && rows[i].sample == sample; ++i) {
            const SampleRow& r = rows[i];
            if ((countLimit && r.sample >= countLimit) ||
                (!r.sixAxis && static_cast<size_t>(r.channel) >= s.ros.topics.size()))
                continue;  // past --count, or a channel the device did not report at the start
            publishRow(s, r, realtimeOffset);
            s.ros.state = r.state;
            bits |= r.flags;
            any = true;
        }
        if (!any)
            continue;
        if (bits) {
            ++s.flagged;
            s.flaggedBits |= bits;
        }
        if ((bits != 0) != s.overloaded) {
            s.overloaded = bits != 0;
            s.statusDue = true;  // the diagnostics follow at once
        }
        sayOverload(s);
    }
    s.samples += static_cast<uint64_t>(n);
    if (s.announced != s.daq.get()) {
        s.announced = s.daq.get();
        s.statusDue = true;
    }
    if (countLimit && s.samples >= countLimit) {
        s.samples = countLimit;
        s.done = true;
    }
    return true;
}

// One status per sensor: its state, rate, counters, calibration and gaps
// (the recordings' too: ros2view.h).
void publishDiagnostics(Bus& bus, std::vector<std::unique_ptr<Sensor>>& sensors, int64_t nowNs,
                        int64_t realtimeOffset)
{
    std::vector<brovaros2::DiagnosticStatus> statuses;
    for (const auto& sp : sensors) {
        Sensor& s = *sp;
        brovatools::SensorReport report = brovacli::reportOf(s, s.ros, nowNs);
        report.writeFailures = s.writeFailures;
        report.newFailures = s.writeFailures - s.failuresReported;
        report.failureReason = dds_strretcode(s.lastWriteError);
        s.failuresReported = s.writeFailures;
        report.flagsCounted = true;
        report.flagged = s.flagged;
        report.newFlagged = s.flagged - s.flaggedReported;
        report.flaggedBits = s.flaggedBits;
        report.overloaded = s.overloaded;
        report.lowPass = !s.filterOff.empty() ? s.filterOff
                         : s.filters.empty()  ? std::string()
                                              : brovatools::lowPassDelayText(s.filters[0]);
        report.lowPassOff = !s.filterOff.empty();
        s.flaggedReported = s.flagged;
        s.flaggedBits = 0;
        statuses.push_back(brovatools::diagnosticStatus("brova publish", report));
    }
    std::vector<std::vector<diagnostic_msgs_msg_dds__KeyValue_>> kvs(statuses.size());
    std::vector<diagnostic_msgs_msg_dds__DiagnosticStatus_> out(statuses.size());
    for (size_t i = 0; i < statuses.size(); ++i) {
        brovaros2::DiagnosticStatus& st = statuses[i];
        for (auto& kv : st.values)
            kvs[i].push_back({const_cast<char*>(kv.key.c_str()), const_cast<char*>(kv.value.c_str())});
        diagnostic_msgs_msg_dds__DiagnosticStatus_& d = out[i];
        d.level_ = st.level;
        d.name_ = const_cast<char*>(st.name.c_str());
        d.message_ = const_cast<char*>(st.message.c_str());
        d.hardware_id_ = const_cast<char*>(st.hardwareId.c_str());
        d.values_._length = d.values_._maximum = static_cast<uint32_t>(kvs[i].size());
        d.values_._buffer = kvs[i].data();
        d.values_._release = false;
    }
    diagnostic_msgs_msg_dds__DiagnosticArray_ a{};
    toTime(brovaros2::timeOf(nowNs + realtimeOffset), a.header_.stamp_);
    a.header_.frame_id_ = const_cast<char*>("");
    a.status_._length = a.status_._maximum = static_cast<uint32_t>(out.size());
    a.status_._buffer = out.data();
    a.status_._release = false;
    const dds_return_t written = dds_write(bus.diagnostics, &a);
    if (written != DDS_RETCODE_OK && bus.diagnosticsFailures++ == 0)
        std::fprintf(stderr, "brova: a status on /diagnostics could not be written: %s\n", dds_strretcode(written));
}

int runPublish(const QStringList& args)
{
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral(
            "Publishes the samples of the sensors on PORT ... as ROS 2 topics over DDS (Eclipse Cyclone DDS), "
            "for ROS 2 nodes on this machine or its network, until --count, --duration, Ctrl-C or SIGTERM. The "
            "messages follow ROS 2's own conventions on DDS: ROS 2 need not be installed where brova publish runs."
            "\n\n"
            "Topics: a six-axis sensor (kinds 64 and 95, or a four-channel device read with --six-axis) is "
            "NS/NAME/wrench; a three-axis device publishes each channel N (0 .. 3) as NS/NAME/chN/wrench, its "
            "force in the wrench's force and a torque of zero. Their type is geometry_msgs/msg/WrenchStamped. "
            "With --lowpass each also has a .../wrench_filtered topic: the same samples, with the same stamps, "
            "low-pass filtered (delayed by the filter's group delay, told at the start). NS/NAME/overload, a "
            "std_msgs/msg/Bool (latched: reliable, transient local, keep last 1), is true while the sensor's "
            "samples are flagged (a field at its converter's rail, or a calibrated value over its rated range), "
            "written when that changes; the diagnostics go to WARN and count them. "
            "NS is --namespace (/brova by default), NAME is --name (by default the port's device node without "
            "/dev/, other characters than letters, digits and underscores made underscores: ttyUSB0, pts_3). "
            "header.stamp is the instant the device took the sample (the library's sample stamps) on the "
            "real-time clock; header.frame_id is --frame-id, by default NAME (NAME_chN for a channel). Once a "
            "second a diagnostic_msgs/msg/DiagnosticArray on /diagnostics holds a status per sensor: its state, "
            "configured and estimated rates, samples published (on each of its topics) and the stamp of the last, "
            "write failures, checksum failures, malformed frames, bytes discarded, the calibration file, and the "
            "gaps of an unplug (gaps counts them, the one under way included; gap seconds adds them up).\n\n"
            "Values are in N and N*m when a calibration applies (named with --calibration, or found by the "
            "sensor's identity in $XDG_CONFIG_HOME/brova/calibration, then /etc/brova/calibration, as brova "
            "stream finds it), otherwise in the device's counts; a line on standard error says which at the "
            "start.\n\n"
            "DDS: topic rt/NS/NAME/wrench, type geometry_msgs::msg::dds_::WrenchStamped_, XCDR1, QoS reliable, "
            "keep last 10, volatile (ROS 2's default profile: it serves reliable and best-effort subscribers); "
            "--best-effort gives ROS 2's sensor-data profile (best effort, keep last 5), which reliable "
            "subscribers refuse. Each endpoint's USER_DATA carries the type's RIHS01 hash (typehash=...), as "
            "ROS 2 nodes announce theirs.\n\n"
            "Keep last N: a reliable topic keeps the last N samples for a subscriber that has not yet "
            "acknowledged them, and resends what the subscriber missed from those. A subscriber that falls more "
            "than N samples behind (stopped, or its host busy) loses the older ones for good: at R samples per "
            "second, keep last 10 rides out a stall of 10/R seconds (10 ms at 1000 per second). --history N "
            "holds a stall of S seconds when N is at least S x R (3000 for 3 s at 1000 per second); it costs "
            "memory only while a subscriber is behind. brova listen reports the samples a topic misses. A write "
            "that DDS refuses is counted (\"write failures\" in the diagnostics), said on standard error, and "
            "gives exit status 5.\n\n"
            "The domain is --domain, else ROS_DOMAIN_ID, else 0. CYCLONEDDS_URI chooses the "
            "network interface (see Cyclone DDS's documentation), e.g. "
            "CYCLONEDDS_URI='<CycloneDDS><Domain><General><Interfaces><NetworkInterface name=\"lo\"/></Interfaces>"
            "</General></Domain></CycloneDDS>' for this machine only.\n\n"
            "With --reconnect an unplugged sensor's topics stay; it is reopened when it comes back and the gap is "
            "reported in its diagnostics. Nothing is written on standard output.\n\n") +
        exitCodesText() + QStringLiteral(" brova publish exits 5 when DDS refused to write a message."));
    p.addHelpOption();
    addRunOptions(p, QStringLiteral("After an unplug, keep the topics, wait for the port to come back and reopen it (an "
                                    "attempt every 250 ms)."));
    addTopicOptions(p);
    p.addOption({QStringLiteral("domain"), QStringLiteral("The DDS domain id, 0 .. 232 (default ROS_DOMAIN_ID, else "
                                                          "0)."),
                 QStringLiteral("N")});
    p.addOption({QStringLiteral("best-effort"), QStringLiteral("Publish best effort, keep last 5 (ROS 2's sensor-data "
                                                               "profile) instead of reliably.")});
    p.addOption({QStringLiteral("history"),
                 QStringLiteral("Keep the last N samples of each wrench topic for reliable subscribers that fall "
                                "behind (default 10; 1 .. 1000000): N of at least S x R holds a stall of S seconds "
                                "at R samples per second."),
                 QStringLiteral("N")});
    p.addOption({QStringLiteral("wait-subscribers"),
                 QStringLiteral("Before opening the devices, wait until every wrench topic has N subscribers, so that "
                                "they receive every sample."),
                 QStringLiteral("N")});
    addLowPassOptions(p);
    parseOrExplain(p, args);

    // Every value is checked before anything is opened.
    const RunOptions run = runOptionsFrom(p, args);
    const LowPassOptions lowPass = lowPassFromOptions(p, run.want);
    const QStringList& ports = run.ports;
    const ConfigRequest& want = run.want;
    const bool tare = run.tare;
    const bool reconnect = run.reconnect;
    const int count = run.count;
    const double duration = run.duration;
    const bool reliable = !p.isSet(QStringLiteral("best-effort"));
    const int history = intOption(p, QStringLiteral("history"), reliable ? 10 : 5);
    if (history < 1 || history > 1000000)
        throw Failure(ExitUsage, QStringLiteral("--history needs a number of samples from 1 to 1000000"));
    if (!reliable && p.isSet(QStringLiteral("history")))
        throw Failure(ExitUsage, QStringLiteral("--history keeps samples to resend to reliable subscribers: a "
                                                "best-effort topic resends nothing (leave out --best-effort)"));
    const int waitFor = intOption(p, QStringLiteral("wait-subscribers"), 0);
    if (waitFor < 0)
        throw Failure(ExitUsage, QStringLiteral("--wait-subscribers needs a number of subscribers"));
    std::string why;
    const TopicOptions topicOptions = topicOptionsFrom(p, static_cast<int>(ports.size()));
    const int domain = brovadds::domainId(p.isSet(QStringLiteral("domain")), local(p.value(QStringLiteral("domain"))), why);
    if (domain < 0)
        throw Failure(ExitUsage, QString::fromStdString(why));

    // Every port is set up and every name checked before the domain is
    // joined: a run refused here leaves nothing on the bus.
    Bus bus;
    std::vector<std::unique_ptr<Sensor>> sensors;
    std::vector<const DeviceSession*> earlier;
    for (int i = 0; i < ports.size(); ++i) {
        auto s = std::make_unique<Sensor>();
        s->setUp(run, i, earlier);
        earlier.push_back(s.get());
        std::vector<const Ros2Sensor*> named;
        for (const auto& other : sensors)
            named.push_back(&other->ros);
        s->ros = ros2Sensor(topicOptions, i, *s, named);
        if (lowPass.cutoff > 0)
            for (const brovatools::Ros2Topic& t : s->ros.topics)
                s->filteredTopics.push_back(t.ros + "_filtered");
        s->overloadTopic = brovaros2::rosTopic(topicOptions.ns, s->ros.name + "/overload");
        // Filtered in the values' own unit: N and N*m when calibrated.
        s->filterNewtons = s->calibration.file != nullptr;
        sensors.push_back(std::move(s));
    }

    bus.participant = brovadds::joinDomain(domain, why);
    if (bus.participant < 0)
        throw Failure(ExitFailure, QString::fromStdString(why));
    for (const auto& s : sensors) {
        for (const brovatools::Ros2Topic& t : s->ros.topics)
            s->writers.push_back(makeWriter(bus.participant, &geometry_msgs_msg_dds__WrenchStamped__desc,
                                            brovaros2::kTypeWrenchStamped, t.ros, reliable, history));
        for (const std::string& t : s->filteredTopics)
            s->filteredWriters.push_back(makeWriter(bus.participant, &geometry_msgs_msg_dds__WrenchStamped__desc,
                                                    brovaros2::kTypeWrenchStamped, t, reliable, history));
        // Latched: reliable, transient local, keep last 1.
        s->overloadWriter = makeWriter(bus.participant, &std_msgs_msg_dds__Bool__desc, brovaros2::kTypeBool,
                                       s->overloadTopic, true, 1, true);
    }
    bus.diagnostics = makeWriter(bus.participant, &diagnostic_msgs_msg_dds__DiagnosticArray__desc,
                                 brovaros2::kTypeDiagnosticArray, "/diagnostics", true, 10);
    for (const auto& s : sensors) {
        std::string topics;
        for (const brovatools::Ros2Topic& t : s->ros.topics)
            topics += (topics.empty() ? "" : ", ") + t.ros;
        for (const std::string& t : s->filteredTopics)
            topics += ", " + t;
        topics += ", " + s->overloadTopic;
        std::fprintf(stderr, "brova: %s: %s on %s; %s\n", local(s->target.path).c_str(),
                     s->calibration.file ? "N and N*m" : "counts", topics.c_str(), s->calibration.line.c_str());
    }
    std::fprintf(stderr, "brova: publishing on DDS domain %d, %s\n", domain,
                 reliable ? "reliable" : "best effort (ROS 2's sensor-data profile)");

    if (waitFor > 0) {
        std::fprintf(stderr, "brova: waiting for %d subscriber%s of every topic\n", waitFor, waitFor > 1 ? "s" : "");
        for (;;) {
            bool all = true;
            for (const auto& s : sensors)
                for (const dds_entity_t writer : s->writers) {
                    dds_publication_matched_status_t m{};
                    dds_get_publication_matched_status(writer, &m);
                    all = all && m.current_count >= static_cast<uint32_t>(waitFor);
                }
            if (all)
                break;
            if (!brovacli::pause(10))
                return exitForSignal();
        }
    }

    const int64_t startNs = brovatools::monotonicNow();
    for (auto& s : sensors)
        s->beginOpen(want, tare);

    int result = ExitOk;
    QString failure;
    std::vector<SampleRow> rows;
    int64_t nextDiagnostics = startNs;
    brovatools::RealtimeClock realtime;
    for (;;) {
        const int64_t nowNs = brovatools::monotonicNow();
        const int64_t realtimeOffset = realtime.offset(nowNs);
        bool allDone = true;
        for (auto& sp : sensors) {
            Sensor& s = *sp;
            const Turn turn = s.ros2Turn(nowNs, want, tare, lowPass, "published", result, failure);
            if (turn != Turn::Waiting && !s.done &&
                !readAndPublish(s, static_cast<uint64_t>(count), rows, realtimeOffset)) {
                if (!reconnect) {
                    failure = QStringLiteral("%1: the device stopped: unplugged, or silent for 550 ms").arg(s.target.path);
                    result = ExitDevice;
                } else {
                    s.lose(nowNs);
                    s.ros.state = -1;
                    std::fprintf(stderr, "brova: %s: lost; waiting for it to come back\n", s.ros.name.c_str());
                }
            }
            allDone = allDone && s.done;
        }
        if (result != ExitOk)
            break;
        // Once a second, and at once after a device's first samples.
        bool due = nowNs >= nextDiagnostics;
        for (auto& s : sensors) {
            due = due || s->statusDue;
            s->statusDue = false;
        }
        if (due) {
            publishDiagnostics(bus, sensors, nowNs, realtimeOffset);
            nextDiagnostics = nowNs + 1000000000;
        }
        if (interruptedBy || (count && allDone) || (duration > 0 && nowNs - startNs >= duration * 1e9))
            break;
        brovacli::pause(2);
    }

    uint64_t total = 0;
    size_t topics = 0;
    for (auto& s : sensors) {
        if (s->opening.valid())
            s->opening.wait();
        s->keepRate();
        if (s->daq)
            s->daq->close();
        total += s->samples;
        topics += s->ros.topics.size();
    }
    if (result == ExitOk)
        publishDiagnostics(bus, sensors, brovatools::monotonicNow(), BrovaDAQ::getRealtimeOffset());
    const double seconds = (brovatools::monotonicNow() - startNs) / 1e9;
    std::fprintf(stderr, "brova: %llu samples from %zu port%s published on %zu topic%s in %.2f s\n",
                 static_cast<unsigned long long>(total), sensors.size(), sensors.size() > 1 ? "s" : "", topics,
                 topics > 1 ? "s" : "", seconds);
    uint64_t failed = 0;
    for (const auto& s : sensors)
        failed += s->writeFailures;
    if (failed)
        std::fprintf(stderr, "brova: %llu message%s could not be written: no subscriber received %s\n",
                     static_cast<unsigned long long>(failed), failed > 1 ? "s" : "", failed > 1 ? "them" : "it");
    if (!failure.isEmpty())
        throw Failure(result, failure);
    if (interruptedBy)
        return exitForSignal();
    return failed ? ExitLost : ExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    return commandMain(argc, argv, QStringLiteral("brova publish"), runPublish);
}
