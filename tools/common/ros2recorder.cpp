#include "ros2recorder.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "mcapwriter.h"

namespace brovatools {

using brovarecording::Status;
using brovarecording::StringMap;

std::string offeredQosYaml()
{
    // rosbag2's enum values (rmw): history 1 keep last, reliability 1
    // reliable, durability 2 volatile, liveliness 1 automatic; durations
    // infinite as rmw gives them.
    const char* infinite = "    sec: 9223372036\n    nsec: 854775807\n";
    return std::string("- history: 1\n  depth: 10\n  reliability: 1\n  durability: 2\n  deadline:\n") + infinite +
           "  lifespan:\n" + infinite + "  liveliness: 1\n  liveliness_lease_duration:\n" + infinite +
           "  avoid_ros_namespace_conventions: false\n";
}

namespace {

// A YAML double-quoted scalar.
std::string yamlQuoted(const std::string& s)
{
    std::string out = "\"";
    for (const unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string baseName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct Topic {
    uint16_t channel = 0;
    std::string name, type;
};

struct Sensor {
    RecordedSensor info;
    std::vector<uint16_t> channels;  // per wrench topic
    std::vector<uint16_t> filteredChannels;  // per wrench topic, with a low-pass filter
    uint16_t countsChannel = 0;
    int64_t countsLast = INT64_MIN;
    int state = -1;
    // Flagged samples: in all, when the last status told them, and what
    // those since told; whether the newest was.
    uint64_t flagged = 0, flaggedReported = 0;
    uint32_t flaggedBits = 0;
    bool overloaded = false;
};

} // namespace

struct Ros2Recorder::Impl {
    brovarecording::McapWriter writer;
    RecorderOptions options;
    std::string path;
    uint16_t wrenchSchema = 0, countsSchema = 0, diagnosticsSchema = 0;
    uint16_t diagnosticsChannel = 0;
    int64_t diagnosticsLast = INT64_MIN;
    std::vector<Sensor> sensors;
    std::vector<Topic> topics;
    std::map<uint16_t, uint32_t> sequences;
    std::set<std::string> attached;  // paths
    std::map<std::string, std::string> attachmentNames;  // path -> attachment name
    int64_t lastFlush = INT64_MIN;
    int64_t started = 0;  // realtime ns
    std::vector<uint8_t> bytes;

    Status message(uint16_t channel, int64_t time, const std::vector<uint8_t>& data)
    {
        const uint64_t t = time < 0 ? 0 : static_cast<uint64_t>(time);
        return writer.writeMessage(channel, sequences[channel]++, t, t, data.data(), data.size());
    }

    Status channel(uint16_t schema, const std::string& topic, const std::string& type, uint16_t& id)
    {
        StringMap metadata{{"offered_qos_profiles", offeredQosYaml()}};
        const std::string hash = brovaros2::typeHash(type);
        if (!hash.empty())
            metadata["topic_type_hash"] = hash;
        if (Status s = writer.addChannel(schema, topic, "cdr", metadata, id); !s)
            return s;
        topics.push_back({id, topic, type});
        return {};
    }

    Status writeRows(Sensor& s, const std::vector<SampleRow>& rows, int64_t realtimeOffset);
    // The flags of the samples first ... first + keep - 1 from their rows
    // (a sample's word with its rows' over-range bits), counted.
    std::vector<uint32_t> sampleFlags(Sensor& s, const std::vector<SampleRow>& rows, uint64_t first, int keep);
    // The rows of a read written (filtered first when filter is given), then
    // its samples first ... first + keep - 1 as one counts message: fill
    // gives sample k's records (state, configuration, wrench, channels).
    template <class Fill>
    Status addRead(Sensor& s, std::vector<SampleRow>& rows, const RowFilter& filter, const int64_t* stamps,
                   uint64_t first, int keep, int64_t realtimeOffset, const Fill& fill)
    {
        if (filter)
            filter(rows);
        if (Status st = writeRows(s, rows, realtimeOffset); !st)
            return st;
        const std::vector<uint32_t> flags = sampleFlags(s, rows, first, keep);
        brovaros2::Counts c;
        c.frameId = s.info.frameId;
        c.firstSample = first;
        c.samples.resize(static_cast<size_t>(keep));
        for (int k = 0; k < keep; ++k) {
            brovaros2::CountsSample& x = c.samples[static_cast<size_t>(k)];
            const int64_t stamp = std::max(stamps[k] + realtimeOffset, s.countsLast + 1);
            s.countsLast = stamp;
            x.stamp = brovaros2::timeOf(stamp);
            x.flags = flags[static_cast<size_t>(k)];
            fill(k, x);
        }
        c.stamp = c.samples.front().stamp;
        return message(s.countsChannel, brovaros2::nanosecondsOf(c.stamp), brovaros2::serialize(c));
    }
    std::string rosbag2Metadata() const;
};

Ros2Recorder::Ros2Recorder() : d(new Impl) {}

Ros2Recorder::~Ros2Recorder() = default;

bool Ros2Recorder::isOpen() const
{
    return d->writer.isOpen();
}

const Status& Ros2Recorder::status() const
{
    return d->writer.status();
}

uint64_t Ros2Recorder::bytesWritten() const
{
    return d->writer.bytesWritten();
}

uint64_t Ros2Recorder::messages() const
{
    return d->writer.statistics().messageCount;
}

const std::vector<Ros2Topic>& Ros2Recorder::topics(int sensor) const
{
    return d->sensors.at(static_cast<size_t>(sensor)).info.topics;
}

int Ros2Recorder::state(int sensor) const
{
    return d->sensors.at(static_cast<size_t>(sensor)).state;
}

bool Ros2Recorder::overloaded(int sensor) const
{
    return d->sensors.at(static_cast<size_t>(sensor)).overloaded;
}

void Ros2Recorder::reportFlags(int sensor, SensorReport& report)
{
    Sensor& s = d->sensors.at(static_cast<size_t>(sensor));
    report.flagsCounted = true;
    report.flagged = s.flagged;
    report.newFlagged = s.flagged - s.flaggedReported;
    report.flaggedBits = s.flaggedBits;
    report.overloaded = s.overloaded;
    s.flaggedReported = s.flagged;
    s.flaggedBits = 0;
}

Status Ros2Recorder::open(const std::string& path, const RecorderOptions& options)
{
    brovarecording::WriterOptions w;
    w.profile = "ros2";
    w.library = "libBRV " + options.version + (options.program.empty() ? "" : " (" + options.program + ")");
    w.compression = options.compression;
    w.exclusive = !options.replace;
    if (Status s = d->writer.open(path, w); !s)
        return s;
    d->options = options;
    d->path = path;
    if (d->options.fileName.empty())
        d->options.fileName = baseName(path);
    d->started = BrovaDAQ::getRealtimeOffset() + monotonicNow();
    for (const auto& [type, id] : {std::make_pair(brovaros2::kTypeWrenchStamped, &d->wrenchSchema),
                                   std::make_pair(brovaros2::kTypeCounts, &d->countsSchema),
                                   std::make_pair(brovaros2::kTypeDiagnosticArray, &d->diagnosticsSchema)}) {
        if (Status s = d->writer.addSchema(type, "ros2msg", brovaros2::messageDefinition(type), *id); !s)
            return s;
    }
    return d->channel(d->diagnosticsSchema, "/diagnostics", brovaros2::kTypeDiagnosticArray, d->diagnosticsChannel);
}

Status Ros2Recorder::addSensor(const RecordedSensor& info, int& index)
{
    Sensor s;
    s.info = info;
    for (const Ros2Topic& t : info.topics) {
        uint16_t id = 0;
        if (Status st = d->channel(d->wrenchSchema, t.ros, brovaros2::kTypeWrenchStamped, id); !st)
            return st;
        s.channels.push_back(id);
    }
    for (const std::string& t : info.filteredTopics) {
        uint16_t id = 0;
        if (Status st = d->channel(d->wrenchSchema, t, brovaros2::kTypeWrenchStamped, id); !st)
            return st;
        s.filteredChannels.push_back(id);
    }
    if (Status st = d->channel(d->countsSchema, info.countsTopic, brovaros2::kTypeCounts, s.countsChannel); !st)
        return st;
    if (info.calibration && !d->attached.count(info.calibration->path)) {
        // The file as it was read: its bytes again, checked against the hash
        // taken when it was loaded.
        QFile f(QString::fromStdString(info.calibration->path));
        QByteArray bytes;
        if (f.open(QIODevice::ReadOnly))
            bytes = f.read(16 << 20);
        const std::string sha =
            QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString();
        if (sha != info.calibration->sha256)
            return Status::failure(info.calibration->path + ": changed since it was read; not attached to the "
                                                            "recording");
        std::string name = baseName(info.calibration->path);
        for (const auto& [p, n] : d->attachmentNames)
            if (n == name)
                name = info.name + "-" + name;
        const int64_t modified =
            QFileInfo(f).lastModified().toMSecsSinceEpoch() * 1000000;
        if (Status st = d->writer.attach(name, "application/json", static_cast<uint64_t>(d->started),
                                         static_cast<uint64_t>(std::max<int64_t>(0, modified)), bytes.constData(),
                                         static_cast<size_t>(bytes.size()));
            !st)
            return st;
        d->attached.insert(info.calibration->path);
        d->attachmentNames[info.calibration->path] = name;
    }
    index = static_cast<int>(d->sensors.size());
    d->sensors.push_back(std::move(s));
    return {};
}

Status Ros2Recorder::Impl::writeRows(Sensor& s, const std::vector<SampleRow>& rows, int64_t realtimeOffset)
{
    for (const SampleRow& r : rows) {
        const size_t index = r.sixAxis ? 0 : static_cast<size_t>(r.channel);
        if (index >= s.channels.size())
            continue;  // a channel the device did not report at the start
        Ros2Topic& t = s.info.topics[index];
        brovaros2::WrenchStamped m = wrenchMessage(t, r, realtimeOffset);
        if (Status st = message(s.channels[index], t.lastStamp, brovaros2::serialize(m)); !st)
            return st;
        s.state = r.state;
        if (!r.filtered || index >= s.filteredChannels.size())
            continue;
        // The filtered values, with the sample's own stamp (as brova
        // publish sends them).
        for (int k = 0; k < 3; ++k) {
            m.force[k] = r.lowpass[k];
            m.torque[k] = r.sixAxis ? r.lowpass[3 + k] : 0.0;
        }
        if (Status st = message(s.filteredChannels[index], t.lastStamp, brovaros2::serialize(m)); !st)
            return st;
    }
    return {};
}

std::vector<uint32_t> Ros2Recorder::Impl::sampleFlags(Sensor& s, const std::vector<SampleRow>& rows, uint64_t first,
                                                      int keep)
{
    std::vector<uint32_t> flags(static_cast<size_t>(keep), 0u);
    for (const SampleRow& r : rows)
        if (r.sample >= first && r.sample - first < flags.size())
            flags[static_cast<size_t>(r.sample - first)] |= r.flags;
    for (const uint32_t f : flags) {
        if (f) {
            ++s.flagged;
            s.flaggedBits |= f;
        }
        s.overloaded = f != 0;
    }
    return flags;
}

namespace {

brovaros2::ChannelCounts channelCounts(const BrovaPackage& p)
{
    brovaros2::ChannelCounts c;
    const int32_t s[8] = {p.s1, p.s2, p.s3, p.s4, p.s5, p.s6, p.s7, p.s8};
    std::copy(s, s + 8, c.s);
    c.x = p.x;
    c.y = p.y;
    c.z = p.z;
    c.aux = p.aux;
    return c;
}

} // namespace

Status Ros2Recorder::addRead(int sensor, uint64_t first, const int64_t* stamps, const BrovaPackage* all, int n,
                             int keep, int channels, bool asWrench, const RowCalibration* cal, int64_t realtimeOffset,
                             const uint32_t* flags, const RowFilter& filter)
{
    Sensor& s = d->sensors.at(static_cast<size_t>(sensor));
    keep = std::min(keep, n);
    if (keep <= 0)
        return d->writer.status();
    std::vector<SampleRow> rows;
    // The rows of the samples kept: the channel-major array has n per
    // channel, of which the first keep are written.
    appendRows(rows, 0, first, stamps, all, n, channels, asWrench, cal, flags);
    rows.erase(std::remove_if(rows.begin(), rows.end(), [&](const SampleRow& r) { return r.sample >= first + keep; }),
               rows.end());
    return d->addRead(s, rows, filter, stamps, first, keep, realtimeOffset, [&](int k, brovaros2::CountsSample& x) {
        const BrovaPackage& p0 = all[k];
        x.state = static_cast<uint8_t>(p0.config.getState());
        x.config = p0.config.to_uin8_t();
        if (asWrench && channels == 4)
            BrovaDAQ::wrenchOf(all[k], all[n + k], all[2 * n + k], all[3 * n + k], x.wrench);
        x.channels.reserve(static_cast<size_t>(channels));
        for (int ch = 0; ch < channels; ++ch)
            x.channels.push_back(channelCounts(all[ch * n + k]));
    });
}

Status Ros2Recorder::addRead(int sensor, uint64_t first, const int64_t* stamps, const BrovaPackage6D* all, int n,
                             int keep, const RowCalibration* cal, int64_t realtimeOffset, const uint32_t* flags,
                             const RowFilter& filter)
{
    Sensor& s = d->sensors.at(static_cast<size_t>(sensor));
    keep = std::min(keep, n);
    if (keep <= 0)
        return d->writer.status();
    std::vector<SampleRow> rows;
    appendRows(rows, 0, first, stamps, all, keep, cal, flags);
    return d->addRead(s, rows, filter, stamps, first, keep, realtimeOffset, [&](int k, brovaros2::CountsSample& x) {
        const BrovaPackage6D& p = all[k];
        x.state = static_cast<uint8_t>(p.sensor1.config.getState());
        x.config = p.sensor1.config.to_uin8_t();
        const int32_t w[6] = {p.Fx, p.Fy, p.Fz, p.Tx, p.Ty, p.Tz};
        std::copy(w, w + 6, x.wrench);
        x.channels.reserve(4);
        for (const BrovaPackage* u : {&p.sensor1, &p.sensor2, &p.sensor3, &p.sensor4})
            x.channels.push_back(channelCounts(*u));
    });
}

Status Ros2Recorder::addDiagnostics(const std::vector<brovaros2::DiagnosticStatus>& statuses, int64_t realtimeNs)
{
    const int64_t stamp = std::max(realtimeNs, d->diagnosticsLast + 1);
    d->diagnosticsLast = stamp;
    brovaros2::DiagnosticArray a;
    a.stamp = brovaros2::timeOf(stamp);
    a.status = statuses;
    return d->message(d->diagnosticsChannel, stamp, brovaros2::serialize(a));
}

Status Ros2Recorder::tick(int64_t nowNs)
{
    if (d->lastFlush == INT64_MIN)
        d->lastFlush = nowNs;
    if (nowNs - d->lastFlush < d->options.flushIntervalNs)
        return d->writer.status();
    d->lastFlush = nowNs;
    return d->writer.flush();
}

// rosbag2's metadata.yaml (version 8: the QoS profiles as a YAML text, as
// ROS 2 Iron and Jazzy read it).
std::string Ros2Recorder::Impl::rosbag2Metadata() const
{
    const brovarecording::Statistics st = writer.statistics();
    const uint64_t start = st.messageCount ? st.messageStartTime : 0;
    const uint64_t duration = st.messageCount ? st.messageEndTime - st.messageStartTime : 0;
    std::string y = "rosbag2_bagfile_information:\n  version: 8\n  storage_identifier: mcap\n";
    y += "  duration:\n    nanoseconds: " + std::to_string(duration) + "\n";
    y += "  starting_time:\n    nanoseconds_since_epoch: " + std::to_string(start) + "\n";
    y += "  message_count: " + std::to_string(st.messageCount) + "\n";
    y += "  topics_with_message_count:\n";
    for (const Topic& t : topics) {
        const auto count = st.channelMessageCounts.find(t.channel);
        y += "    - topic_metadata:\n";
        y += "        name: " + t.name + "\n";
        y += "        type: " + t.type + "\n";
        y += "        serialization_format: cdr\n";
        y += "        offered_qos_profiles: " + yamlQuoted(offeredQosYaml()) + "\n";
        y += "        type_description_hash: " + brovaros2::typeHash(t.type) + "\n";
        y += "      message_count: " + std::to_string(count == st.channelMessageCounts.end() ? 0 : count->second) +
             "\n";
    }
    y += "  compression_format: \"\"\n  compression_mode: \"\"\n";
    y += "  relative_file_paths:\n    - " + yamlQuoted(options.fileName) + "\n";
    y += "  files:\n    - path: " + yamlQuoted(options.fileName) + "\n";
    y += "      starting_time:\n        nanoseconds_since_epoch: " + std::to_string(start) + "\n";
    y += "      duration:\n        nanoseconds: " + std::to_string(duration) + "\n";
    y += "      message_count: " + std::to_string(st.messageCount) + "\n";
    y += "  custom_data:\n    recorded_by: " + yamlQuoted("libBRV " + options.version + " " + options.program) + "\n";
    y += "  ros_distro: \"\"\n";
    return y;
}

namespace {

std::string decimal(double v, int decimals)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

} // namespace

Status Ros2Recorder::finish(const std::vector<SidecarDevice>& devices, const StringMap& run)
{
    if (!d->writer.isOpen())
        return Status::failure("no recording is open");
    Status s = d->writer.status();
    for (size_t i = 0; s && i < devices.size() && i < d->sensors.size(); ++i) {
        const SidecarDevice& x = devices[i];
        const Sensor& sensor = d->sensors[i];
        std::string topics;
        for (const Ros2Topic& t : sensor.info.topics)
            topics += (topics.empty() ? "" : " ") + t.ros;
        for (const std::string& t : sensor.info.filteredTopics)
            topics += " " + t;
        StringMap m{
            {"name", sensor.info.name},
            {"port", x.port},
            {"kind", std::to_string(x.kind)},
            {"kind text", x.kindText},
            {"identification", x.identification},
            {"read as", x.sixAxisFromFourChannels                        ? "one six-axis sensor (its four channels)"
                        : kindOf(x.kind) && kindOf(x.kind)->sixAxis ? "a six-axis sensor"
                                                                     : "three-axis channels"},
            {"topics", topics},
            {"counts topic", sensor.info.countsTopic},
            {"frame id", sensor.info.frameId},
            {"configured rate", std::to_string(x.rate)},
            {"filter", std::to_string(x.filter)},
            {"mode", x.mode ? "vector" : "raw"},
            {"estimated rate", x.estimatedRate > 0 ? decimal(x.estimatedRate, 3) : "not estimated"},
            {"samples", std::to_string(x.samples)},
            {"checksum failures", std::to_string(x.statistics.checksumFailures)},
            {"malformed frames", std::to_string(x.statistics.framesMalformed)},
            {"bytes discarded", std::to_string(x.statistics.bytesDiscarded)},
            {"reads with bytes dropped", std::to_string(x.readsLost)},
            {"flagged samples", std::to_string(sensor.flagged)},
            {"library version", d->options.version},
            {"units", x.calibrated ? "N and N*m where the calibration applies, counts elsewhere" : "counts"},
        };
        if (x.calibrated) {
            m["calibration"] = x.calibration.path;
            m["calibration sha256"] = x.calibration.sha256;
            m["calibration serial"] = x.calibration.serial;
            m["calibration date"] = x.calibration.date;
            m["calibration forced"] = x.calibration.forced ? "yes" : "no";
            const auto a = d->attachmentNames.find(x.calibration.path);
            if (a != d->attachmentNames.end())
                m["calibration attachment"] = a->second;
        } else {
            m["calibration"] = "none";
        }
        s = d->writer.addMetadata("brova.device." + sensor.info.name, m);
    }
    if (s) {
        StringMap r = run;
        r["library version"] = d->options.version;
        r["program"] = d->options.program;
        r["log_time"] = "the sample's instant on the real-time clock, ns since the epoch (also publish_time and "
                        "header.stamp)";
        s = d->writer.addMetadata("brova.recording", r);
    }
    if (s)
        s = d->writer.addMetadata("rosbag2", {{"serialized_metadata", d->rosbag2Metadata()}});
    const Status finished = d->writer.finish();
    return s ? finished : s;
}

} // namespace brovatools
