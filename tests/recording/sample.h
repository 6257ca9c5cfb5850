// A sample recording for the tests: sensors' wrench messages in the CDR
// layout of a WrenchStamped (forces that drift and wobble, as a sensor's do),
// a counts channel, a calibration attachment and two metadata records,
// written through McapWriter with what was written kept to compare against.
#pragma once

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "mcapwriter.h"

namespace sample {

using namespace brovarecording;

struct Written {
    uint16_t channel;
    uint32_t sequence;
    uint64_t logTime, publishTime;
    std::vector<uint8_t> data;
};

struct Plan {
    Compression compression = Compression::Zstd;
    size_t chunkSize = 4096;
    int sensors = 2;
    int samples = 300;      // per sensor
    int flushEvery = 250;   // messages between flush() calls (0: never)
    // Kill the process with SIGKILL after the last message, as a recorder
    // killed mid-run (in a child of fork()); otherwise finish the file.
    bool kill = false;
};

struct Recording {
    Status status;                   // the first failure
    std::vector<Written> messages;   // in the order written
    // Messages written when each chunk reached the file, chunk by chunk.
    std::vector<size_t> messagesAtChunk;
    std::vector<uint64_t> bytesAtChunk;  // the file's size after each chunk and its indexes
    std::vector<std::string> topics;  // by channel id - 1
};

const char* const kWrenchText =
    "std_msgs/Header header\ngeometry_msgs/Wrench wrench\n"
    "================================================================================\n"
    "MSG: std_msgs/Header\nbuiltin_interfaces/Time stamp\nstring frame_id\n";
const char* const kCountsText = "int32 s1\nint32 s2\nint32 s3\nint32 s4\nint32 x\nint32 y\nint32 z\nint32 aux\n";
const char* const kCalibration = "{\"kind\": 94, \"matrix\": [[0.01, 0, 0], [0, 0.01, 0], [0, 0, 0.02]]}\n";

inline void put(std::vector<uint8_t>& b, const void* p, size_t n)
{
    const auto* c = static_cast<const uint8_t*>(p);
    b.insert(b.end(), c, c + n);
}

// A WrenchStamped in little-endian CDR: encapsulation, stamp, frame_id,
// padding to 8, six doubles.
inline std::vector<uint8_t> wrench(uint64_t ns, const std::string& frame, const double v[6])
{
    std::vector<uint8_t> b = {0x00, 0x01, 0x00, 0x00};
    const int32_t sec = int32_t(ns / 1000000000u);
    const uint32_t nsec = uint32_t(ns % 1000000000u), len = uint32_t(frame.size() + 1);
    put(b, &sec, 4);
    put(b, &nsec, 4);
    put(b, &len, 4);
    put(b, frame.c_str(), len);
    while ((b.size() - 4) % 8)
        b.push_back(0);
    put(b, v, 48);
    return b;
}

// Notes a chunk when the file grew since `written`.
inline void chunkWritten(Recording& r, const McapWriter& w, uint64_t& written)
{
    if (w.bytesWritten() != written) {
        r.messagesAtChunk.push_back(r.messages.size());
        r.bytesAtChunk.push_back(w.bytesWritten());
    }
    written = w.bytesWritten();
}

inline Recording write(const std::string& path, const Plan& plan)
{
    Recording r;
    McapWriter w;
    WriterOptions options;
    options.profile = "ros2";
    options.library = "libBRV tests";
    options.compression = plan.compression;
    options.chunkSize = plan.chunkSize;
    auto fail = [&](const Status& s) {
        if (r.status && !s)
            r.status = s;
        return !s;
    };
    if (fail(w.open(path, options)))
        return r;
    uint16_t wrenchSchema = 0, countsSchema = 0;
    fail(w.addSchema("geometry_msgs/msg/WrenchStamped", "ros2msg", kWrenchText, wrenchSchema));
    fail(w.addSchema("brova_msgs/msg/Counts", "ros2msg", kCountsText, countsSchema));
    std::vector<uint16_t> channels;
    for (int s = 0; s < plan.sensors; ++s) {
        for (const char* kind : {"wrench", "counts"}) {
            const std::string topic = "/brova/ft" + std::to_string(s) + "/" + kind;
            uint16_t id = 0;
            fail(w.addChannel(kind[0] == 'w' ? wrenchSchema : countsSchema, topic, "cdr",
                              {{"offered_qos_profiles", "- history: 1\n  depth: 100\n"}}, id));
            channels.push_back(id);
            r.topics.push_back(topic);
        }
    }
    fail(w.attach("ft0.json", "application/json", 1, 2, kCalibration, std::strlen(kCalibration)));
    fail(w.addMetadata("devices", {{"ft0", "/dev/ttyUSB0 kind 94"}, {"ft1", "/dev/ttyUSB1 kind 94"}}));

    uint32_t seed = 12345;
    const uint64_t t0 = 1700000000000000000u;
    uint64_t written = w.bytesWritten();
    for (int i = 0; i < plan.samples && r.status; ++i) {
        for (int s = 0; s < plan.sensors; ++s) {
            // A late sample now and then: its log time before its predecessor's.
            const uint64_t t = t0 + uint64_t(i) * 1000000 + uint64_t(s) * 7000 - (i % 50 == 49 ? 1500000 : 0);
            double v[6];
            for (int k = 0; k < 6; ++k) {
                seed = seed * 1103515245u + 12345u;
                v[k] = 10.0 * std::sin(i * 0.01 + k) + 0.001 * int((seed >> 16) % 64);
            }
            Written m{channels[size_t(2 * s)], uint32_t(i), t, t + 50000, wrench(t, "ft" + std::to_string(s), v)};
            std::vector<uint8_t> counts;
            for (int k = 0; k < 8; ++k) {
                const int32_t c = int32_t(v[k % 6] * 1000);
                put(counts, &c, 4);
            }
            Written c{channels[size_t(2 * s + 1)], uint32_t(i), t, t, counts};
            for (Written* x : {&m, &c}) {
                if (fail(w.writeMessage(x->channel, x->sequence, x->logTime, x->publishTime, x->data.data(),
                                        x->data.size())))
                    break;
                chunkWritten(r, w, written);  // full before this message, which is smaller than a chunk
                r.messages.push_back(*x);
                if (plan.flushEvery && r.messages.size() % size_t(plan.flushEvery) == 0) {
                    fail(w.flush());
                    chunkWritten(r, w, written);
                }
            }
        }
    }
    if (plan.kill)
        ::raise(SIGKILL);
    fail(w.flush());
    chunkWritten(r, w, written);
    fail(w.addMetadata("rosbag2", {{"serialized_metadata", "rosbag2_bagfile_information:\n  version: 9\n"}}));
    fail(w.finish());
    return r;
}

} // namespace sample
