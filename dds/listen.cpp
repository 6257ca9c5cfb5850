// brova listen: the wrench topics under a ROS namespace, as brova publish (or
// any ROS 2 node) publishes them, printed as CSV or JSON lines.
//
// Topics are found as they appear, through Cyclone DDS's builtin
// DCPSPublication topic: every publication of geometry_msgs/msg/
// WrenchStamped whose topic is NS/.../wrench gets a reader with the
// publication's reliability. A topic of another type is told once and left
// alone; a sample that does not decode is dropped by DDS.
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "cli.h"
#include "ros2_msgs.h"
#include "ros2dds.h"
#include "samplerows.h"

using namespace brovacli;

namespace {

std::string local(const QString& s)
{
    return s.toLocal8Bit().toStdString();
}

// A value as brova stream writes it: counts as whole numbers, anything else
// with 8 significant digits.
std::string value(double v)
{
    if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 1e15) {
        char text[32];
        std::snprintf(text, sizeof text, "%.0f", v == 0 ? 0.0 : v);
        return text;
    }
    return brovatools::formatForce(v);
}

// Seconds with nine decimals (a ROS time's resolution).
std::string seconds(int64_t ns)
{
    char text[48];
    const uint64_t magnitude = ns < 0 ? 0 - static_cast<uint64_t>(ns) : static_cast<uint64_t>(ns);
    std::snprintf(text, sizeof text, "%s%llu.%09llu", ns < 0 ? "-" : "",
                  static_cast<unsigned long long>(magnitude / 1000000000),
                  static_cast<unsigned long long>(magnitude % 1000000000));
    return text;
}

struct Subscription {
    std::string ros;  // the ROS topic name
    dds_entity_t reader = 0;
    bool diagnostics = false;  // /diagnostics, not a wrench topic
};

// The statuses of a DiagnosticArray, a JSON line each.
std::string diagnosticLines(const diagnostic_msgs_msg_dds__DiagnosticArray_& a)
{
    auto text = [](const char* s) { return brovatools::jsonString(s ? s : ""); };
    const int64_t stamp = static_cast<int64_t>(a.header_.stamp_.sec_) * 1000000000 + a.header_.stamp_.nanosec_;
    std::string lines;
    for (uint32_t i = 0; i < a.status_._length; ++i) {
        const auto& st = a.status_._buffer[i];
        lines += "{\"time\":" + seconds(stamp) + ",\"topic\":\"/diagnostics\",\"name\":" + text(st.name_) +
                 ",\"level\":" + std::to_string(st.level_) + ",\"message\":" + text(st.message_) +
                 ",\"hardware_id\":" + text(st.hardware_id_) + ",\"values\":{";
        for (uint32_t k = 0; k < st.values_._length; ++k)
            lines += (k ? "," : "") + text(st.values_._buffer[k].key_) + ":" + text(st.values_._buffer[k].value_);
        lines += "}}\n";
    }
    return lines;
}

int runListen(const QStringList& args)
{
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral(
            "Subscribes to the wrench topics (geometry_msgs/msg/WrenchStamped, topics ending in /wrench) under NS "
            "as they appear on the DDS domain, and prints every message received, one line each, until --count, "
            "--duration, Ctrl-C or SIGTERM.\n\n"
            "Columns: time (header.stamp, seconds since the epoch), topic (the ROS name), frame_id, Fx, Fy, Fz, "
            "Tx, Ty, Tz (the wrench: N and N*m, or counts, as the publisher sends them), latency (the time of "
            "receipt on this machine's real-time clock minus header.stamp: from the sample to its receipt), and "
            "transit (the time of receipt minus the DDS source timestamp: from the publisher's write to its "
            "receipt), both in seconds. Values are written as brova stream writes them: counts as whole numbers, "
            "others with 8 significant digits.\n\n"
            "Each topic is read with its publisher's reliability (reliable, or best effort for a sensor-data "
            "publisher), keeping the last 1000 messages. A topic under NS of another type is told on standard "
            "error once and ignored. The domain is --domain, else ROS_DOMAIN_ID, else 0; CYCLONEDDS_URI chooses "
            "the network interface.\n\n"
            "With --diagnostics, the statuses on /diagnostics (diagnostic_msgs/msg/DiagnosticArray, as brova "
            "publish sends them once a second) are printed too, a JSON object each (time, topic, name, level, "
            "message, hardware_id, values); they do not count for --count.\n\n") +
        exitCodesText());
    p.addHelpOption();
    p.addOption({QStringLiteral("namespace"), QStringLiteral("The ROS namespace to listen under (default /brova)."),
                 QStringLiteral("NS")});
    p.addOption({QStringLiteral("format"), QStringLiteral("csv (the default) or jsonl (one JSON object per line)."),
                 QStringLiteral("csv|jsonl")});
    p.addOption({QStringLiteral("count"), QStringLiteral("Stop after N messages (of all topics together)."),
                 QStringLiteral("N")});
    p.addOption({QStringLiteral("duration"), QStringLiteral("Stop after S seconds."), QStringLiteral("S")});
    p.addOption({QStringLiteral("domain"), QStringLiteral("The DDS domain id, 0 .. 232 (default ROS_DOMAIN_ID, else "
                                                          "0)."),
                 QStringLiteral("N")});
    p.addOption({QStringLiteral("diagnostics"), QStringLiteral("Also print the statuses on /diagnostics (with "
                                                               "--format jsonl).")});
    parseOrExplain(p, args);

    if (!p.positionalArguments().isEmpty())
        throw Failure(ExitUsage, QStringLiteral("%1 takes no PORT: it listens to topics (see %1 --help)").arg(args.value(0)));
    std::string why;
    const std::string ns = p.isSet(QStringLiteral("namespace")) ? local(p.value(QStringLiteral("namespace")))
                                                                : std::string("/brova");
    if (!brovadds::validAbsoluteName(ns, why))
        throw Failure(ExitUsage, QStringLiteral("--namespace %1 is not a valid ROS namespace: %2")
                                     .arg(QString::fromStdString(ns), QString::fromStdString(why)));
    const QString format = p.isSet(QStringLiteral("format")) ? p.value(QStringLiteral("format")) : QStringLiteral("csv");
    if (format != QLatin1String("csv") && format != QLatin1String("jsonl"))
        throw Failure(ExitUsage, QStringLiteral("--format %1: the formats are csv and jsonl").arg(format));
    const bool csv = format == QLatin1String("csv");
    const bool diagnostics = p.isSet(QStringLiteral("diagnostics"));
    if (diagnostics && csv)
        throw Failure(ExitUsage, QStringLiteral("--diagnostics prints JSON objects: give --format jsonl"));
    const int count = intOption(p, QStringLiteral("count"), 0);
    if (p.isSet(QStringLiteral("count")) && count <= 0)
        throw Failure(ExitUsage, QStringLiteral("--count needs a number above 0"));
    const double duration = secondsOption(p, QStringLiteral("duration"), 0.0);
    const int domain = brovadds::domainId(p.isSet(QStringLiteral("domain")), local(p.value(QStringLiteral("domain"))), why);
    if (domain < 0)
        throw Failure(ExitUsage, QString::fromStdString(why));

    const dds_entity_t participant = brovadds::joinDomain(domain, why);
    if (participant < 0)
        throw Failure(ExitFailure, QString::fromStdString(why));
    // Deleting the participant deletes every reader and the waitset.
    struct Participant {
        dds_entity_t e;
        ~Participant() { dds_delete(e); }
    } owner{participant};
    const dds_entity_t publications = dds_create_reader(participant, DDS_BUILTIN_TOPIC_DCPSPUBLICATION, nullptr, nullptr);
    const dds_entity_t waitset = dds_create_waitset(participant);
    if (publications < 0 || waitset < 0)
        throw Failure(ExitFailure, QStringLiteral("cannot read DDS discovery: %1")
                                       .arg(QString::fromLatin1(dds_strretcode(publications < 0 ? publications : waitset))));
    dds_waitset_attach(waitset, dds_create_readcondition(publications, DDS_ANY_STATE), 0);

    // The topics under the namespace: rt/NS/.../wrench (NS "/": any).
    const std::string prefix = brovadds::ddsTopic(ns == "/" ? std::string("/") : ns + "/");
    auto underNamespace = [&](const std::string& topic) {
        return topic.size() > prefix.size() + 6 && topic.compare(0, prefix.size(), prefix) == 0 &&
               topic.compare(topic.size() - 7, 7, "/wrench") == 0;
    };
    std::map<std::string, Subscription> subscriptions;  // by DDS topic name
    std::map<std::string, bool> refused;                // topics of another type, told once

    if (csv)
        std::fputs("time,topic,frame_id,Fx,Fy,Fz,Tx,Ty,Tz,latency,transit\n", stdout);
    std::fflush(stdout);
    const int64_t start = dds_time();
    uint64_t received = 0;
    enum { Batch = 64 };
    void* samples[Batch];
    dds_sample_info_t infos[Batch];
    bool outputClosed = false;
    while (!interruptedBy && !outputClosed && !(count && received >= static_cast<uint64_t>(count)) &&
           !(duration > 0 && dds_time() - start >= duration * 1e9)) {
        // A short wait, so that a signal ends the run promptly.
        dds_waitset_wait(waitset, nullptr, 0, DDS_MSECS(50));

        std::memset(samples, 0, sizeof samples);
        const int found = dds_take(publications, samples, infos, Batch, Batch);
        for (int i = 0; i < found; ++i) {
            if (!infos[i].valid_data)
                continue;
            const auto* ep = static_cast<const dds_builtintopic_endpoint_t*>(samples[i]);
            const std::string topic = ep->topic_name, type = ep->type_name;
            if (subscriptions.count(topic))
                continue;
            const bool isDiagnostics = diagnostics && topic == "rt/diagnostics";
            if (!isDiagnostics && !underNamespace(topic))
                continue;
            if (type != (isDiagnostics ? brovadds::kDiagnosticArrayType : brovadds::kWrenchStampedType)) {
                if (!refused[topic])
                    std::fprintf(stderr, "brova: %s is of type %s, not %s: ignored\n",
                                 brovadds::rosTopicOf(topic).c_str(), type.c_str(),
                                 isDiagnostics ? "diagnostic_msgs/msg/DiagnosticArray"
                                               : "geometry_msgs/msg/WrenchStamped");
                refused[topic] = true;
                continue;
            }
            dds_reliability_kind_t reliability = DDS_RELIABILITY_RELIABLE;
            dds_duration_t blocking;
            if (ep->qos)
                dds_qget_reliability(ep->qos, &reliability, &blocking);
            const dds_entity_t t = dds_create_topic(participant,
                                                    isDiagnostics ? &diagnostic_msgs_msg_dds__DiagnosticArray__desc
                                                                  : &geometry_msgs_msg_dds__WrenchStamped__desc,
                                                    topic.c_str(), nullptr, nullptr);
            dds_qos_t* qos = brovadds::rosQos(reliability == DDS_RELIABILITY_RELIABLE, 1000);
            brovadds::setTypeHashUnknown(qos);
            const dds_entity_t reader = t < 0 ? t : dds_create_reader(participant, t, qos, nullptr);
            dds_delete_qos(qos);
            if (reader < 0) {
                std::fprintf(stderr, "brova: %s: cannot subscribe: %s; ignored\n", brovadds::rosTopicOf(topic).c_str(),
                             dds_strretcode(reader));
                refused[topic] = true;
                continue;
            }
            dds_waitset_attach(waitset, dds_create_readcondition(reader, DDS_ANY_STATE), 0);
            subscriptions[topic] = {brovadds::rosTopicOf(topic), reader, isDiagnostics};
            std::fprintf(stderr, "brova: listening to %s (%s)\n", brovadds::rosTopicOf(topic).c_str(),
                         reliability == DDS_RELIABILITY_RELIABLE ? "reliable" : "best effort");
        }
        if (found > 0)
            dds_return_loan(publications, samples, found);

        for (auto& entry : subscriptions) {
            const Subscription& sub = entry.second;
            for (;;) {
                std::memset(samples, 0, sizeof samples);
                const int n = dds_take(sub.reader, samples, infos, Batch, Batch);
                if (n <= 0)
                    break;
                const int64_t now = dds_time();
                for (int i = 0; i < n && !(count && received >= static_cast<uint64_t>(count)); ++i) {
                    if (!infos[i].valid_data)
                        continue;
                    if (sub.diagnostics) {
                        std::fputs(diagnosticLines(*static_cast<const diagnostic_msgs_msg_dds__DiagnosticArray_*>(
                                                       samples[i]))
                                       .c_str(),
                                   stdout);
                        continue;
                    }
                    const auto* m = static_cast<const geometry_msgs_msg_dds__WrenchStamped_*>(samples[i]);
                    const int64_t stamp =
                        static_cast<int64_t>(m->header_.stamp_.sec_) * 1000000000 + m->header_.stamp_.nanosec_;
                    const double v[6] = {m->wrench_.force_.x_,  m->wrench_.force_.y_,  m->wrench_.force_.z_,
                                         m->wrench_.torque_.x_, m->wrench_.torque_.y_, m->wrench_.torque_.z_};
                    static const char* const keys[6] = {"Fx", "Fy", "Fz", "Tx", "Ty", "Tz"};
                    const std::string frame = m->header_.frame_id_ ? m->header_.frame_id_ : "";
                    std::string line;
                    if (csv) {
                        line = seconds(stamp) + "," + sub.ros + "," + frame;
                        for (double x : v)
                            line += "," + value(x);
                        line += "," + seconds(now - stamp) + "," + seconds(now - infos[i].source_timestamp) + "\n";
                    } else {
                        line = "{\"time\":" + seconds(stamp) + ",\"topic\":" + brovatools::jsonString(sub.ros) +
                               ",\"frame_id\":" + brovatools::jsonString(frame);
                        for (int k = 0; k < 6; ++k)
                            line += std::string(",\"") + keys[k] + "\":" + value(v[k]);
                        line += ",\"latency\":" + seconds(now - stamp) +
                                ",\"transit\":" + seconds(now - infos[i].source_timestamp) + "}\n";
                    }
                    std::fputs(line.c_str(), stdout);
                    ++received;
                }
                dds_return_loan(sub.reader, samples, n);
            }
        }
        if (std::fflush(stdout) != 0) {
            outputClosed = true;  // the reader of the output went away
        }
    }
    const size_t wrenchTopics = subscriptions.size() - (subscriptions.count("rt/diagnostics") ? 1 : 0);
    std::fprintf(stderr, "brova: %llu messages from %zu topic%s\n", static_cast<unsigned long long>(received),
                 wrenchTopics, wrenchTopics == 1 ? "" : "s");
    return interruptedBy ? exitForSignal() : ExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    return commandMain(argc, argv, QStringLiteral("brova listen"), runListen);
}
