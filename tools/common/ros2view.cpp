#include "ros2view.h"

#include <algorithm>
#include <cstdio>

namespace brovatools {

std::vector<Ros2Topic> wrenchTopics(const std::string& ns, const std::string& name, const std::string& frameId,
                                    bool sixAxis, int channels)
{
    std::vector<Ros2Topic> topics;
    if (sixAxis) {
        topics.push_back({brovaros2::rosTopic(ns, name + "/wrench"), frameId});
        return topics;
    }
    for (int c = 0; c < channels; ++c)
        topics.push_back({brovaros2::rosTopic(ns, name + "/ch" + std::to_string(c) + "/wrench"),
                          frameId + "_ch" + std::to_string(c)});
    return topics;
}

brovaros2::WrenchStamped wrenchMessage(Ros2Topic& t, const SampleRow& r, int64_t realtimeOffset)
{
    // Never going back on a topic (a step of the clock is absorbed).
    const int64_t stamp = std::max(r.stamp + realtimeOffset, t.lastStamp + 1);
    t.lastStamp = stamp;
    t.calibrated = r.calibrated;
    brovaros2::WrenchStamped m;
    m.stamp = brovaros2::timeOf(stamp);
    m.frameId = t.frameId;
    const int n = r.sixAxis ? 6 : 3;
    for (int i = 0; i < n; ++i) {
        const double v = r.calibrated ? r.force[i] : static_cast<double>(r.values[i]);
        (i < 3 ? m.force[i] : m.torque[i - 3]) = v;
    }
    return m;
}

int64_t RealtimeClock::offset(int64_t now)
{
    if (now >= next) {
        value = BrovaDAQ::getRealtimeOffset();
        next = now + 10000000000;
    }
    return value;
}

std::string stampText(int64_t ns)
{
    const brovaros2::Time t = brovaros2::timeOf(ns);
    char text[32];
    std::snprintf(text, sizeof text, "%d.%09u", static_cast<int>(t.sec), static_cast<unsigned>(t.nanosec));
    return text;
}

namespace {

std::string number(double v, int decimals)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

} // namespace

brovaros2::DiagnosticStatus diagnosticStatus(const std::string& program, const SensorReport& r)
{
    brovaros2::DiagnosticStatus st;
    st.name = program + ": " + r.name;
    st.hardwareId = r.identification.empty() ? r.port : r.identification;
    if (r.lost) {
        st.level = 2;
        st.message = "lost; waiting for the port to come back";
    } else if (r.opening) {
        st.level = 3;
        st.message = "opening";
    } else if (r.newFailures > 0) {
        st.level = 1;
        st.message = std::to_string(r.newFailures) + " messages could not be written since the last status: " +
                     r.failureReason;
    } else if (r.overloaded || r.newFlagged > 0) {
        st.level = 1;
        st.message = std::to_string(r.newFlagged) + " samples flagged since the last status (" +
                     flagsText(r.flaggedBits) + ")" + (r.overloaded ? ", and still flagged" : "");
    } else if (r.lowPassOff) {
        st.level = 1;
        st.message = r.lowPass;
    } else if (r.state >= 0 && r.state != 5) {
        st.level = 1;
        st.message = "device state " + std::to_string(r.state) + " (not the normal state 5)";
    } else {
        st.level = 0;
        st.message = r.done ? "done" : "streaming";
    }
    std::string topics;
    bool anyN = false, anyCounts = false;
    int64_t lastStamp = INT64_MIN;
    if (r.topics) {
        for (const Ros2Topic& t : *r.topics) {
            topics += (topics.empty() ? "" : " ") + t.ros;
            (t.calibrated ? anyN : anyCounts) = true;
            lastStamp = std::max(lastStamp, t.lastStamp);
        }
    }
    const std::string units = anyN && anyCounts ? "N and N*m where the calibration applies, counts elsewhere"
                              : anyN            ? "N and N*m"
                                                : "counts";
    const BrovaStatistics& x = r.statistics;
    st.values = {
        {"port", r.port},
        {"kind", std::to_string(r.kind) + (r.wrench ? " read as one six-axis sensor" : "")},
        {"topics", topics},
        {"state", r.lost ? "none: the device is lost" : r.state < 0 ? "none yet" : std::to_string(r.state)},
        {"configured rate", std::to_string(r.configuredRate) + " per second"},
        {"estimated rate", r.estimatedRate > 0 ? number(r.estimatedRate, 2) + " per second" : "not estimated yet"},
        // With "last stamp", a count of messages sent on each of the topics
        // up to that stamp: a subscriber that got fewer lost some.
        {"samples published", std::to_string(r.samples)},
        {"last stamp", lastStamp == INT64_MIN ? std::string("none yet") : stampText(lastStamp)},
        {"write failures", std::to_string(r.writeFailures)},
        {"checksum failures", std::to_string(x.checksumFailures)},
        {"malformed frames", std::to_string(x.framesMalformed)},
        {"bytes discarded", std::to_string(x.bytesDiscarded)},
        {"reads with bytes dropped", std::to_string(r.readsLost)},
        {"calibration", r.calibration.empty() ? std::string("none") : r.calibration},
        {"units", units},
        {"gaps", std::to_string(r.gaps)},
        {"gap seconds", number(r.gapSeconds, 3)},
        {"last gap seconds", number(r.lastGapSeconds, 3)},
    };
    if (r.flagsCounted) {
        st.values.push_back({"flagged samples", std::to_string(r.flagged)});
        st.values.push_back({"overload", r.overloaded ? "yes: the newest sample is flagged" : "no"});
    }
    if (!r.lowPass.empty())
        st.values.push_back({"low-pass", r.lowPass});
    return st;
}

} // namespace brovatools
