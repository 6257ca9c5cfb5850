// brova listen: the wrench topics under a ROS namespace, as brova publish (or
// any ROS 2 node) publishes them, printed as CSV or JSON lines.
//
// Topics are found as they appear, through Cyclone DDS's builtin
// DCPSPublication topic: every publication of geometry_msgs/msg/
// WrenchStamped whose topic is NS/.../wrench gets a reader with the
// publication's reliability. A topic of another type is told once and left
// alone; a sample that does not decode is dropped by DDS. Whatever a peer
// sends, the output stays well formed (its texts quoted, NaN and infinities
// as CSV's empty field and JSON's null), and the samples a topic misses are
// found from its stamps and reported.
#include <QCommandLineParser>
#include <QCoreApplication>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "ros2_msgs.h"
#include "ros2dds.h"
#include "ros2types.h"
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

// A name from the bus as stderr shows it: as it is when it is plain
// printable ASCII, otherwise quoted and escaped as JSON.
std::string shown(const std::string& name)
{
    for (const char c : name)
        if (c < 0x20 || c > 0x7E)
            return brovatools::jsonString(name);
    return name;
}

// Samples a topic missed: between two of its stamps.
struct Gap {
    int64_t after = 0;     // the last stamp before the gap
    int64_t before = 0;    // the first stamp after it that the gap was judged at
    uint64_t missing = 0;  // samples
};

// What a topic's stamps say of the samples it misses. The publisher's period
// is learnt from the stamps themselves: the median of the first 16 steps,
// then followed by every regular step (within a quarter period of it). From
// one stamp after a regular step to the next such stamp, the samples
// expected are round(time between / period); fewer received is a gap. One
// stamp off its line (late or early by up to half a period) is then no gap.
// A stamp not later than the one before goes back: counted, and taken as the
// new reference.
class StampCheck {
public:
    void add(int64_t stamp)
    {
        if (started && stamp <= last) {
            ++backwards;
            if (period > 0) {
                conclude(last);
                anchor = stamp;
                received = 0;
            } else {
                early.assign(1, stamp);
            }
        } else if (period <= 0) {
            early.push_back(stamp);
            if (early.size() > 16)
                learn();
        } else {
            next(stamp);
        }
        started = true;
        last = stamp;
    }
    // At the end: the stamps since the last regular step are judged, and a
    // topic that sent fewer than 17 stamps on those it sent.
    void finish()
    {
        if (period <= 0 && early.size() >= 3)
            learn();
        if (period > 0)
            conclude(last);
    }
    // The gaps found since the last call.
    std::vector<Gap> takeFound() { return std::move(found); }
    uint64_t backwards = 0;

private:
    void learn()
    {
        std::vector<int64_t> steps;
        for (size_t i = 1; i < early.size(); ++i)
            steps.push_back(early[i] - early[i - 1]);
        std::nth_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2), steps.end());
        period = static_cast<double>(steps[steps.size() / 2]);
        anchor = early[0];
        received = 0;
        for (size_t i = 1; i < early.size(); ++i) {
            last = early[i - 1];
            next(early[i]);
        }
        early.clear();
    }
    void next(int64_t stamp)
    {
        ++received;
        const double step = static_cast<double>(stamp - last);
        if (std::fabs(step - period) <= 0.25 * period) {
            conclude(stamp);
            period += (step - period) / 32;
        }
    }
    // The samples from the anchor to `stamp` against those received: missing
    // ones when at least 3/4 of a period per sample is left unexplained.
    void conclude(int64_t stamp)
    {
        const double unexplained = static_cast<double>(stamp - anchor) / period - static_cast<double>(received);
        if (unexplained >= 0.75)
            found.push_back({anchor, stamp, static_cast<uint64_t>(std::llround(unexplained))});
        anchor = stamp;
        received = 0;
    }

    bool started = false;
    int64_t last = 0, anchor = 0;
    uint64_t received = 0;  // stamps after the anchor
    double period = 0;
    std::vector<int64_t> early;  // the first stamps, until the period is learnt
    std::vector<Gap> found;
};

// What brova publish's statuses say of a topic: how many samples were
// written on it up to a stamp ("samples published" and "last stamp"). A
// point is known once a message at or after its stamp has arrived (the
// statuses come on a writer of their own, ahead of or behind the samples),
// with the messages received up to its stamp; points before the first
// message received here are not (those samples came before this
// subscription).
class CountCheck {
public:
    struct Point {
        int64_t stamp = 0;
        uint64_t written = 0, received = 0;
    };
    void received(int64_t stamp)
    {
        ++count;
        seen.emplace_back(stamp, count);
        while (seen.size() > 1 && seen.front().first < stamp - 10000000000)  // the last 10 s
            seen.pop_front();
        while (!pending.empty() && pending.front().stamp <= stamp) {
            known(pending.front());
            pending.pop_front();
        }
    }
    void written(int64_t stamp, uint64_t total)
    {
        if (seen.empty() || stamp < seen.front().first)
            return;  // before this subscription's first message (or long ago)
        if (stamp <= seen.back().first)
            known({stamp, total, 0});
        else if (pending.empty() || stamp > pending.back().stamp)
            pending.push_back({stamp, total, 0});
    }
    std::vector<Point> takeKnown() { return std::move(points); }

private:
    void known(Point p)
    {
        const auto at = std::upper_bound(seen.begin(), seen.end(), p.stamp,
                                         [](int64_t s, const std::pair<int64_t, uint64_t>& e) { return s < e.first; });
        p.received = at == seen.begin() ? 0 : std::prev(at)->second;
        points.push_back(p);
    }

    uint64_t count = 0;
    std::deque<std::pair<int64_t, uint64_t>> seen;  // stamp, messages received up to it
    std::deque<Point> pending;
    std::vector<Point> points;
};

// A wrench topic and the samples it missed. Where brova publish's counts
// come, they decide exactly: between two known points, fewer messages
// received than written were lost. The stamps decide before the first point
// (the baseline) and after the last one, and for a publisher that sends no
// counts (once 2 s have passed without any). A point before the end of a gap
// already told is no baseline.
struct Subscription {
    std::string ros;  // the ROS topic name
    dds_entity_t reader = 0;
    bool diagnostics = false;  // /diagnostics, not a wrench topic
    uint64_t received = 0;
    int64_t firstAt = 0;  // when its first message came (listen's clock)
    StampCheck stamps;
    CountCheck counts;
    std::vector<Gap> held;  // gaps in the stamps not judged yet
    bool based = false;
    CountCheck::Point base;
    int64_t toldUntil = INT64_MIN;
    uint64_t missing = 0, gaps = 0, byCounts = 0;

    // The gaps judged by now (end: the run is over), each told.
    template <typename Tell> void judge(int64_t now, bool end, Tell tell)
    {
        for (const Gap& g : stamps.takeFound())
            held.push_back(g);
        for (const CountCheck::Point& p : counts.takeKnown()) {
            if (!based || p.written < base.written || p.received < base.received) {
                // A baseline (or a publisher's new run), not inside a gap
                // already told. The stamps judge what came before it; a gap
                // they show across it is left to the counts (the stamps of a
                // device's first samples may stray).
                if (p.stamp < toldUntil)
                    continue;
                if (!based)
                    release([&](const Gap& g) { return g.before <= p.stamp; }, tell);
                held.erase(std::remove_if(held.begin(), held.end(), [&](const Gap& g) { return g.after < p.stamp; }),
                           held.end());
                based = true;
                base = p;
                continue;
            }
            const uint64_t written = p.written - base.written, got = p.received - base.received;
            if (written > got) {
                const Gap g{base.stamp, p.stamp, written - got};
                count(g);
                ++byCounts;
                tell(*this, g);
            }
            // What the stamps showed up to here the counts have judged.
            held.erase(std::remove_if(held.begin(), held.end(), [&](const Gap& g) { return g.after < p.stamp; }),
                       held.end());
            base = p;
        }
        if (end || (!based && now - firstAt > DDS_SECS(2)))
            release([](const Gap&) { return true; }, tell);
    }

private:
    void count(const Gap& g)
    {
        missing += g.missing;
        ++gaps;
    }
    template <typename Which, typename Tell> void release(Which which, Tell tell)
    {
        std::vector<Gap> kept;
        for (const Gap& g : held) {
            if (!which(g)) {
                kept.push_back(g);
                continue;
            }
            count(g);
            toldUntil = std::max(toldUntil, g.before);
            tell(*this, g);
        }
        held = std::move(kept);
    }
};

// "1796751936.126317042" (a stamp as brova publish's statuses write it) in
// nanoseconds; false for another text.
bool stampOf(const std::string& text, int64_t& ns)
{
    const size_t dot = text.find('.');
    if (dot == std::string::npos || dot == 0 || dot > 11 || text.size() != dot + 10)
        return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (i != dot && !std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    ns = std::stoll(text.substr(0, dot)) * 1000000000 + std::stoll(text.substr(dot + 1));
    return true;
}

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
            "others with 8 significant digits; NaN and infinities as an empty field in CSV and null in JSON "
            "lines. In CSV a topic or frame_id holding a comma, a quote or a line break is quoted as RFC 4180 has "
            "it; bytes that are not UTF-8 become U+FFFD.\n\n"
            "Gaps: the samples a topic misses are found and reported. For brova publish's topics exactly, from "
            "the counts its statuses on /diagnostics carry (samples published up to a stamp, read whether "
            "--diagnostics is given or not): fewer received than published between two statuses were lost on the "
            "bus (a subscriber that fell further behind than the publisher's history, see brova publish "
            "--history, or a write that failed). For other publishers, from the stamps: the period is learnt from "
            "the first stamps and followed, and where the time between two stamps holds more periods than samples "
            "arrived, samples are missing (one stamp off its line by less than half a period is no gap); a "
            "topic whose publisher does not send at a steady rate shows gaps that are not losses there. A stamp "
            "not later than the one before goes back. Each gap is said on standard error as it is found (the "
            "first 20); the summary at the end counts them per topic, with the samples DDS itself counted "
            "lost.\n\n"            "With --diagnostics, the statuses on /diagnostics (diagnostic_msgs/msg/DiagnosticArray, as brova "
            "publish sends them once a second) are printed too, a JSON object each (time, topic, name, level, "
            "message, hardware_id, values); they do not count for --count.\n\n") +
        exitCodesText() +
        QStringLiteral(" brova listen exits 5 when a topic missed samples or its stamps went back (a run ended by "
                       "Ctrl-C or SIGTERM keeps 130 or 143; its summary says the gaps)."));
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
    uint64_t gapsTold = 0;
    const auto tell = [&](const Subscription& sub, const Gap& g) {
        if (++gapsTold <= 20)
            std::fprintf(stderr, "brova: %s: %llu sample%s missing between %s and %s%s\n", shown(sub.ros).c_str(),
                         static_cast<unsigned long long>(g.missing), g.missing > 1 ? "s" : "",
                         seconds(g.after).c_str(), seconds(g.before).c_str(),
                         gapsTold == 20 ? "; further gaps are counted in the summary" : "");
    };
    // The counts of brova publish's statuses: "topics", "samples published"
    // and "last stamp" of each sensor.
    auto takeCounts = [&](const diagnostic_msgs_msg_dds__DiagnosticArray_& a) {
        for (uint32_t i = 0; i < a.status_._length; ++i) {
            const auto& st = a.status_._buffer[i];
            std::map<std::string, std::string> values;
            for (uint32_t k = 0; k < st.values_._length; ++k)
                if (st.values_._buffer[k].key_ && st.values_._buffer[k].value_)
                    values[st.values_._buffer[k].key_] = st.values_._buffer[k].value_;
            int64_t stamp = 0;
            const std::string& total = values["samples published"];
            if (!stampOf(values["last stamp"], stamp) || total.empty() ||
                total.find_first_not_of("0123456789") != std::string::npos || total.size() > 19)
                continue;
            std::string topic;
            std::istringstream topics(values["topics"]);
            while (topics >> topic) {
                const auto it = subscriptions.find(brovadds::ddsTopic(topic));
                if (it == subscriptions.end() || it->second.diagnostics)
                    continue;
                it->second.counts.written(stamp, std::stoull(total));
                it->second.judge(dds_time(), false, tell);
            }
        }
    };
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
            // /diagnostics is always read: brova publish's statuses carry the
            // counts that tell lost samples; printed with --diagnostics.
            const bool isDiagnostics = topic == "rt/diagnostics";
            if (!isDiagnostics && !underNamespace(topic))
                continue;
            if (type != (isDiagnostics ? brovadds::kDiagnosticArrayType : brovadds::kWrenchStampedType)) {
                if (!refused[topic] && (diagnostics || !isDiagnostics))
                    std::fprintf(stderr, "brova: %s is of type %s, not %s: ignored\n",
                                 shown(brovadds::rosTopicOf(topic)).c_str(), shown(type).c_str(),
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
            // Keep all: what arrives is kept until it is printed, so that none
            // is lost here when a burst (a publisher resending what a stall
            // held up) comes faster than it is printed.
            dds_qos_t* qos = brovadds::rosQos(reliability == DDS_RELIABILITY_RELIABLE, 0);
            brovadds::setTypeHash(qos, isDiagnostics ? brovaros2::kTypeDiagnosticArray : brovaros2::kTypeWrenchStamped);
            const dds_entity_t reader = t < 0 ? t : dds_create_reader(participant, t, qos, nullptr);
            dds_delete_qos(qos);
            if (reader < 0) {
                std::fprintf(stderr, "brova: %s: cannot subscribe: %s; ignored\n",
                             shown(brovadds::rosTopicOf(topic)).c_str(), dds_strretcode(reader));
                refused[topic] = true;
                continue;
            }
            dds_waitset_attach(waitset, dds_create_readcondition(reader, DDS_ANY_STATE), 0);
            Subscription& sub = subscriptions[topic];
            sub.ros = brovadds::rosTopicOf(topic);
            sub.reader = reader;
            sub.diagnostics = isDiagnostics;
            if (diagnostics || !isDiagnostics)
                std::fprintf(stderr, "brova: listening to %s (%s)\n", shown(sub.ros).c_str(),
                             reliability == DDS_RELIABILITY_RELIABLE ? "reliable" : "best effort");
        }
        if (found > 0)
            dds_return_loan(publications, samples, found);

        for (auto& entry : subscriptions) {
            Subscription& sub = entry.second;
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
                        const auto& a = *static_cast<const diagnostic_msgs_msg_dds__DiagnosticArray_*>(samples[i]);
                        if (diagnostics)
                            std::fputs(diagnosticLines(a).c_str(), stdout);
                        takeCounts(a);
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
                        line = seconds(stamp) + "," + brovatools::csvField(sub.ros) + "," + brovatools::csvField(frame);
                        for (double x : v)
                            line += "," + value(x);
                        line += "," + seconds(now - stamp) + "," + seconds(now - infos[i].source_timestamp) + "\n";
                    } else {
                        line = "{\"time\":" + seconds(stamp) + ",\"topic\":" + brovatools::jsonString(sub.ros) +
                               ",\"frame_id\":" + brovatools::jsonString(frame);
                        for (int k = 0; k < 6; ++k)
                            line += std::string(",\"") + keys[k] + "\":" + brovatools::jsonNumber(value(v[k]));
                        line += ",\"latency\":" + seconds(now - stamp) +
                                ",\"transit\":" + seconds(now - infos[i].source_timestamp) + "}\n";
                    }
                    std::fputs(line.c_str(), stdout);
                    ++received;
                    if (sub.received++ == 0)
                        sub.firstAt = now;
                    sub.counts.received(stamp);
                    sub.stamps.add(stamp);
                    sub.judge(now, false, tell);
                }
                dds_return_loan(sub.reader, samples, n);
            }
        }
        if (std::fflush(stdout) != 0) {
            outputClosed = true;  // the reader of the output went away
        }
    }
    // A gap the stamps show after a publisher's last count waits for its
    // next count (one a second, and one as it ends) up to 1.5 s: the stamps
    // of a device's first samples may stray where nothing is missing.
    const auto waiting = [&] {
        for (const auto& entry : subscriptions)
            if (entry.second.based && !entry.second.held.empty())
                return true;
        return false;
    };
    const int64_t lingerUntil = dds_time() + DDS_MSECS(1500);
    while (!interruptedBy && !outputClosed && waiting() && dds_time() < lingerUntil) {
        dds_waitset_wait(waitset, nullptr, 0, DDS_MSECS(50));
        for (auto& entry : subscriptions) {
            if (!entry.second.diagnostics)
                continue;
            for (;;) {
                std::memset(samples, 0, sizeof samples);
                const int n = dds_take(entry.second.reader, samples, infos, Batch, Batch);
                if (n <= 0)
                    break;
                for (int i = 0; i < n; ++i)
                    if (infos[i].valid_data)
                        takeCounts(*static_cast<const diagnostic_msgs_msg_dds__DiagnosticArray_*>(samples[i]));
                dds_return_loan(entry.second.reader, samples, n);
            }
        }
    }
    const size_t wrenchTopics = subscriptions.size() - (subscriptions.count("rt/diagnostics") ? 1 : 0);
    std::fprintf(stderr, "brova: %llu messages from %zu topic%s\n", static_cast<unsigned long long>(received),
                 wrenchTopics, wrenchTopics == 1 ? "" : "s");
    // Each topic's gaps, and what DDS counted lost (a best-effort sample that
    // did not arrive, or one a reliable publisher no longer held).
    bool gaps = false;
    for (auto& entry : subscriptions) {
        Subscription& sub = entry.second;
        if (sub.diagnostics)
            continue;
        sub.stamps.finish();
        sub.judge(0, true, tell);
        const uint64_t missing = sub.missing, inGaps = sub.gaps, backwards = sub.stamps.backwards;
        dds_sample_lost_status_t lost{};
        dds_get_sample_lost_status(sub.reader, &lost);
        if (!missing && !backwards && !lost.total_count)
            continue;
        gaps = true;
        std::string what;
        if (missing)
            what += std::to_string(missing) + " sample" + (missing > 1 ? "s" : "") + " missing in " +
                    std::to_string(inGaps) + " gap" + (inGaps > 1 ? "s" : "");
        if (backwards)
            what += (what.empty() ? "" : ", ") + std::to_string(backwards) + " stamp" +
                    (backwards > 1 ? "s" : "") + " going back";
        if (lost.total_count)
            what += (what.empty() ? "" : ", ") + std::to_string(lost.total_count) + " reported lost by DDS";
        std::fprintf(stderr, "brova: %s: %llu messages; %s\n", shown(sub.ros).c_str(),
                     static_cast<unsigned long long>(sub.received), what.c_str());
    }
    if (interruptedBy)
        return exitForSignal();
    return gaps ? ExitLost : ExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    return commandMain(argc, argv, QStringLiteral("brova listen"), runListen);
}
