// The sensors as ROS 2 sees them, shared by brova publish (over DDS) and the
// recordings (MCAP), so that a recording holds exactly what the bus carries:
// the topics of a sensor and their frame ids, the stamp of each message, its
// values, and the status a sensor reports on /diagnostics.
//
// - A six-axis sensor (or four channels read as one) is one topic
//   NS/NAME/wrench; a three-axis device has one per channel,
//   NS/NAME/chN/wrench, frame id FRAME_chN, its force in the wrench's force
//   and a torque of zero. Type geometry_msgs/msg/WrenchStamped.
// - header.stamp is the sample's instant on the real-time clock: the
//   library's stamp (CLOCK_MONOTONIC) plus the offset between the clocks,
//   read once every 10 s (RealtimeClock), and never going back on a topic (a
//   stamp at or before the topic's last is made 1 ns later).
// - Values are N and N*m where a calibration applies, counts elsewhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "brovadaq.h"
#include "ros2types.h"
#include "samplerows.h"

namespace brovatools {

// One wrench topic of a sensor.
struct Ros2Topic {
    std::string ros;      // /brova/ttyUSB0/wrench
    std::string frameId;  // header.frame_id
    int64_t lastStamp = INT64_MIN;  // real-time ns of the last message
    bool calibrated = false;        // the last message was in N and N*m
};

// The wrench topics of a sensor named `name` under the namespace `ns`: one
// for a six-axis read, else one per channel (channels: 1 or 4).
std::vector<Ros2Topic> wrenchTopics(const std::string& ns, const std::string& name, const std::string& frameId,
                                    bool sixAxis, int channels);

// The message of a sample row on its topic (a six-axis row on topics[0], a
// three-axis row on its channel's), stamped as above; the topic's last stamp
// and unit are updated.
brovaros2::WrenchStamped wrenchMessage(Ros2Topic& topic, const SampleRow& row, int64_t realtimeOffset);

// The offset from CLOCK_MONOTONIC to CLOCK_REALTIME, read once every 10 s
// rather than at every read: each reading carries the jitter of the moment it
// was taken, which the stamps should not. A slewed or stepped clock is
// followed within 10 s.
class RealtimeClock {
public:
    int64_t offset(int64_t nowMonotonicNs);

private:
    int64_t value = 0;
    int64_t next = INT64_MIN;
};

// What a sensor's status on /diagnostics says.
struct SensorReport {
    std::string name;  // the sensor's ROS name
    std::string port, identification;
    int kind = 0;
    bool wrench = false;  // four channels read as one six-axis sensor
    const std::vector<Ros2Topic>* topics = nullptr;
    bool lost = false;     // unplugged, waiting to come back
    bool opening = false;  // no device yet
    bool done = false;     // --count reached
    int state = -1;        // the last sample's state field; -1: none yet (or lost)
    uint64_t newFailures = 0;    // writes that failed since the last status
    std::string failureReason;   // the last one's reason
    int configuredRate = 0;
    double estimatedRate = 0;
    uint64_t samples = 0;        // written on each of its topics
    uint64_t writeFailures = 0;  // in all
    BrovaStatistics statistics{};
    uint64_t readsLost = 0;      // reads that found the reader's buffer had dropped bytes
    std::string calibration;     // the calibration file's path; empty: none
    int gaps = 0;                // losses, the one under way included
    double gapSeconds = 0;       // their length
    double lastGapSeconds = 0;   // the latest's (the one under way, while lost)
    // Samples flagged (a field at its converter's rail, a value over its
    // rated range): in all, since the last status and what those told
    // (brovaflags.h); whether the newest one was.
    // Told only by a writer that counts them (flagsCounted).
    bool flagsCounted = false;
    uint64_t flagged = 0, newFlagged = 0;
    uint32_t flaggedBits = 0;
    bool overloaded = false;
    // The low-pass filter: its group delay, or why it is off; empty: none.
    std::string lowPass;
    bool lowPassOff = false;
};

// The status of one sensor: level 2 lost, 3 opening, 1 failed writes,
// flagged samples, a low-pass filter switched off or a state other than 5,
// else 0; the message says which; the values are its
// port, kind, topics, state, rates, counters, calibration, units and gaps.
// program names it: "<program>: <name>".
brovaros2::DiagnosticStatus diagnosticStatus(const std::string& program, const SensorReport& report);

// A stamp as seconds since the epoch with nine decimals.
std::string stampText(int64_t ns);

} // namespace brovatools
