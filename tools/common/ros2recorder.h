// A recording of sensors in MCAP with the profile ros2, which ros2 bag,
// Foxglove and PlotJuggler open: what brova publish would publish, and the
// raw samples beside it. Shared by brova record, brova stream --output
// FILE.mcap and brova-scope's Record.
//
// What the file holds:
// - per sensor, its wrench topics as brova publish names them (ros2view.h),
//   geometry_msgs/msg/WrenchStamped, one message per sample: header.stamp,
//   log_time and publish_time are the sample's instant on the real-time clock
//   (ns since the epoch), values in N and N*m where a calibration applies,
//   counts elsewhere;
// - with a low-pass filter, per wrench topic NS/.../wrench_filtered beside
//   it, as brova publish names it: the same samples filtered, with the same
//   stamps;
// - per sensor, NS/NAME/counts, brova_msgs/msg/Counts (ros2types.h): the
//   sample records of one read (the samples the library handed out at once,
//   a few milliseconds' worth), every field of the record, so that nothing
//   the wire gave is lost, and each sample instant's status flags (as brova
//   stream's flags column has them); log_time the first sample's instant. One message
//   per read rather than per sample: a message costs 16 bytes of index
//   uncompressed, more than a sample's compressed counts;
// - /diagnostics, diagnostic_msgs/msg/DiagnosticArray, once a second, the
//   statuses brova publish sends;
// - each channel's offered_qos_profiles (rosbag2's YAML) and topic_type_hash
//   (RIHS01), the message definitions as ros2msg schemas;
// - at the end: a Metadata record "rosbag2" (serialized_metadata, the
//   metadata.yaml that ros2 bag info shows), one "brova.device.NAME" per
//   sensor (port, kind, identification, rates, counters, calibration, library
//   version) and "brova.recording" (the run); the calibration files as
//   Attachments from the start.
//
// Crash safety: the open chunk is closed at least every flushInterval (half
// a second), so a process killed with SIGKILL loses at most that much; a
// write error (a full disk) is sticky and ends the recording with every
// complete chunk kept (see mcapwriter.h).
//
// Not thread-safe: one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "brovapackage.h"
#include "brovapackage6d.h"
#include "calibrationlookup.h"
#include "kinds.h"
#include "mcap.h"
#include "ros2types.h"
#include "ros2view.h"
#include "samplerows.h"
#include "sidecar.h"

namespace brovatools {

struct RecorderOptions {
    brovarecording::Compression compression = brovarecording::Compression::Zstd;
    std::string program;  // "brova record", ...: the Header's library names it with the version
    std::string version;  // libBRV's
    bool replace = false;  // replace an existing file (otherwise it is refused)
    int64_t flushIntervalNs = 500000000;
    std::string fileName;  // the file's name when finished (rosbag2's relative path); default: the path's
};

// A sensor of a recording.
struct RecordedSensor {
    std::string name;  // its ROS name under the namespace
    std::vector<Ros2Topic> topics;  // its wrench topics (wrenchTopics)
    // With a low-pass filter: the topics of the filtered values, one per
    // wrench topic, in their order (NS/.../wrench_filtered); empty: none.
    std::vector<std::string> filteredTopics;
    std::string countsTopic;        // NS/NAME/counts
    std::string frameId;
    std::shared_ptr<const CalibrationFile> calibration;  // attached when set
};

// Gives rows their low-pass filtered values (SampleRow::filtered), or
// leaves them as they are.
using RowFilter = std::function<void(std::vector<SampleRow>&)>;

class Ros2Recorder {
public:
    Ros2Recorder();
    // Finishes a file still open without metadata (as a crash would leave
    // it, but with its summary).
    ~Ros2Recorder();
    Ros2Recorder(const Ros2Recorder&) = delete;
    Ros2Recorder& operator=(const Ros2Recorder&) = delete;

    // Creates the file (refused when it exists, unless replace), writes the
    // schemas and the /diagnostics channel.
    brovarecording::Status open(const std::string& path, const RecorderOptions& options);
    // Adds a sensor's channels and attaches its calibration file (once per
    // file); index receives its number for the calls below.
    brovarecording::Status addSensor(const RecordedSensor& sensor, int& index);

    // The samples of one read of a sensor (the library's arrays, as
    // appendRows takes them): the first `keep` of its n samples (fewer at
    // --count), numbered from first, taken at stamps (monotonic ns). Rows on
    // channels the sensor has no topic for are not written. flags: the n
    // samples' status flags (the library's getFlags; null: none), which the
    // counts carry with the over-range bits of the calibrated values and
    // which are counted (reportFlags). filter, when set, filters the rows
    // kept, in order; those it filters go to the filtered topics too.
    brovarecording::Status addRead(int sensor, uint64_t first, const int64_t* stamps, const BrovaPackage* all, int n,
                                   int keep, int channels, bool asWrench, const RowCalibration* cal,
                                   int64_t realtimeOffset, const uint32_t* flags = nullptr,
                                   const RowFilter& filter = {});
    brovarecording::Status addRead(int sensor, uint64_t first, const int64_t* stamps, const BrovaPackage6D* all,
                                   int n, int keep, const RowCalibration* cal, int64_t realtimeOffset,
                                   const uint32_t* flags = nullptr, const RowFilter& filter = {});
    // A DiagnosticArray on /diagnostics stamped realtimeNs.
    brovarecording::Status addDiagnostics(const std::vector<brovaros2::DiagnosticStatus>& statuses, int64_t realtimeNs);
    // Closes the open chunk when flushInterval has passed since the last
    // (monotonic ns).
    brovarecording::Status tick(int64_t nowNs);

    // Writes the metadata (the devices as the run ends, `run`'s entries as
    // brova.recording, rosbag2's) and the summary, and closes the file.
    brovarecording::Status finish(const std::vector<SidecarDevice>& devices, const brovarecording::StringMap& run);
    bool isOpen() const;

    // A sensor's wrench topics (their last stamps, units) and the last state
    // seen, for its status.
    const std::vector<Ros2Topic>& topics(int sensor) const;
    int state(int sensor) const;
    // Whether the sensor's newest sample recorded was flagged.
    bool overloaded(int sensor) const;
    // Puts the sensor's flagged samples into its status as brova publish
    // counts them (in all, since the last status, what those told, whether
    // the newest was) and starts the next status's count.
    void reportFlags(int sensor, SensorReport& report);
    uint64_t messages() const;
    uint64_t bytesWritten() const;
    // The first write error (ok while none).
    const brovarecording::Status& status() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// rosbag2's YAML of a topic's offered QoS profiles as brova publish offers
// them (reliable, keep last 10, volatile), with its integer enum values.
std::string offeredQosYaml();

} // namespace brovatools
