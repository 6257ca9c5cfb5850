// Recordings in MCAP, the log format that robotics tools open directly
// (ros2 bag's default storage, Foxglove, PlotJuggler): the types that the
// writer (mcapwriter.h) and the reader (mcapreader.h) share.
//
// Plain C++17 on POSIX files; compression from libzstd and liblz4, CRC-32
// from zlib. Nothing in this unit throws or aborts: every failure comes back
// as a Status with a message for the user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace brovarecording {

// The outcome of an operation.
struct Status {
    bool ok = true;
    std::string message;  // what went wrong (ok false), naming the file where there is one
    int error = 0;        // errno of the system call that failed (ENOSPC: the disk is full); 0 otherwise

    explicit operator bool() const { return ok; }
    static Status failure(std::string message, int error = 0);
};

// How the records of a chunk are compressed.
enum class Compression { None, Zstd, Lz4 };

// "none", "zstd", "lz4": the names a user types (--compression). In the file
// an uncompressed chunk says "" (the format's name for none).
const char* compressionName(Compression compression);
// The compression a user's name stands for; false for an unknown name.
bool parseCompression(const std::string& name, Compression& compression);

using StringMap = std::map<std::string, std::string>;

// The file's Header record.
struct Header {
    std::string profile;  // "ros2" for ROS 2 data; may be empty
    std::string library;  // the program that wrote the file
};

// A message type. Ids are 1 ... 65535 (0 stands for "no schema").
struct Schema {
    uint16_t id = 0;
    std::string name;      // e.g. "geometry_msgs/msg/WrenchStamped"
    std::string encoding;  // e.g. "ros2msg"
    std::string data;      // the definition's bytes (the .msg text for ros2msg)
};

// A topic: its messages share a schema and an encoding.
struct Channel {
    uint16_t id = 0;
    uint16_t schemaId = 0;        // 0: the messages have no schema
    std::string topic;            // e.g. "/brova/ft0/wrench"
    std::string messageEncoding;  // e.g. "cdr"
    StringMap metadata;           // e.g. offered_qos_profiles, topic_type_hash
};

// The file's counts. Times are log times in nanoseconds (0 and 0 when the
// file has no message).
struct Statistics {
    uint64_t messageCount = 0;
    uint16_t schemaCount = 0;
    uint32_t channelCount = 0;
    uint32_t attachmentCount = 0;
    uint32_t metadataCount = 0;
    uint32_t chunkCount = 0;
    uint64_t messageStartTime = 0;
    uint64_t messageEndTime = 0;
    std::map<uint16_t, uint64_t> channelMessageCounts;  // channels without messages may be absent
};

// A named map of strings (the devices of a run, rosbag2's metadata).
struct Metadata {
    std::string name;
    StringMap entries;
};

// A file carried whole (a calibration file), as its index describes it; the
// bytes are read on demand (McapReader::readAttachment).
struct AttachmentInfo {
    std::string name;
    std::string mediaType;  // e.g. "application/json"
    uint64_t logTime = 0;
    uint64_t createTime = 0;
    uint64_t dataSize = 0;
    uint64_t offset = 0;  // where its record starts in the file
    uint64_t length = 0;  // the record's bytes
};

// A chunk of the file, as its index (or a scan) describes it.
struct ChunkInfo {
    uint64_t offset = 0;  // where the Chunk record starts
    uint64_t length = 0;  // its bytes, opcode and length included
    uint64_t messageStartTime = 0;
    uint64_t messageEndTime = 0;
    std::string compression;  // "", "zstd" or "lz4" as in the file
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
};

// One message, owning its payload.
struct Message {
    uint16_t channelId = 0;
    uint32_t sequence = 0;
    uint64_t logTime = 0;      // ns
    uint64_t publishTime = 0;  // ns
    std::vector<uint8_t> data;
};

// One message whose payload lives in the reader's buffer: valid only during
// the call that hands it over.
struct MessageView {
    uint16_t channelId = 0;
    uint32_t sequence = 0;
    uint64_t logTime = 0;
    uint64_t publishTime = 0;
    const uint8_t* data = nullptr;
    size_t size = 0;
};

} // namespace brovarecording
