// What brova publish and brova record (and brova stream into a recording)
// share of a run over ROS 2 topics: the options that name the topics
// (--namespace, --name, --frame-id), each sensor's name and topics, and its
// status on /diagnostics from its device session (see ros2view.h).
#pragma once

#include <QCommandLineParser>
#include <QStringList>

#include <string>
#include <vector>

#include "devicesession.h"
#include "ros2view.h"

namespace brovacli {

// --namespace NS, --name NAME (once per PORT), --frame-id FRAME (once per
// PORT).
void addTopicOptions(QCommandLineParser& p);
struct TopicOptions {
    std::string ns = "/brova";
    std::vector<std::string> names, frames;  // empty: from the ports
};
// Their values, checked (usage Failures): a valid namespace and names, given
// once per port.
TopicOptions topicOptionsFrom(const QCommandLineParser& p, int ports);

// A sensor of a run with its ROS name and wrench topics.
struct Ros2Sensor {
    std::string name;
    std::string frameId;
    std::vector<brovatools::Ros2Topic> topics;
    int state = -1;  // the last sample's state field; -1 while there is none (opening, lost)
};
// The name, frame id and topics of the index-th port's session (set up);
// a name another sensor has already is a usage Failure.
Ros2Sensor ros2Sensor(const TopicOptions& o, int index, const DeviceSession& s,
                      const std::vector<const Ros2Sensor*>& earlier);

// A device session of a run over ROS 2 topics (brova publish, brova record).
struct Ros2Session : DeviceSession {
    Ros2Sensor ros;
    // The device whose first samples were announced by a status of their
    // own: its counts give a subscriber a reference from the start.
    const BrovaDAQ* announced = nullptr;
    bool statusDue = false;  // a status goes out at once
    std::string filterOff;   // why the low-pass filter is off, for the diagnostics
    bool overloaded = false; // the newest sample was flagged

    // One turn of the run's loop (DeviceSession::turn): a failed first open
    // is kept in result and failure when it is the run's first, and Waiting
    // returned; a reopen is told; at every open the filters are designed and
    // what that tells is said on standard error ("; wrench_filtered is not
    // <what>" added when the filter went off).
    Turn ros2Turn(int64_t nowNs, const ConfigRequest& want, bool tare, const LowPassOptions& lowPass,
                  const char* what, int& result, QString& failure);
};

// What a status on /diagnostics says of a session now (monotonic ns); the
// write failures are the caller's to fill in.
brovatools::SensorReport reportOf(const DeviceSession& s, const Ros2Sensor& r, int64_t nowNs);

} // namespace brovacli
