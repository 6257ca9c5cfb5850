// The MCAP writer: a recording as a run of compressed chunks of messages,
// each followed by its message indexes, and at the end a summary (schemas,
// channels, statistics, chunk, attachment and metadata indexes, summary
// offsets) that lets a reader find everything without reading the data.
//
// Crash safety: what reaches the file is always whole records. A chunk is
// written when it is full (WriterOptions::chunkSize) or when the caller calls
// flush(); a recorder flushes at least once a second, so a process killed
// with SIGKILL loses at most the open chunk, and every chunk before it stays
// readable (McapReader recovers them, as does any MCAP stream reader).
//
// Write errors (ENOSPC, EIO, a file size limit) come back as a Status. After
// one the writer writes nothing more; the file is cut back to its last whole
// record, so that every complete chunk already written stays readable.
//
// Not thread-safe: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "mcap.h"

namespace brovarecording {

struct WriterOptions {
    std::string profile;  // the Header's profile: "ros2" for ROS 2 data
    std::string library;  // the Header's library: the writing program and its version
    Compression compression = Compression::Zstd;
    int compressionLevel = 0;  // 0: the algorithm's default (zstd 3, lz4's fast mode)
    // The most uncompressed bytes of records in a chunk: a chunk is written
    // when the next message would not fit (a larger message gets a chunk of
    // its own). At least 1.
    size_t chunkSize = size_t(1) << 20;
    bool exclusive = false;  // refuse a path that exists already (else it is replaced)
};

class McapWriter {
public:
    McapWriter();
    // Finishes a file that is still open (as finish() does; its result is
    // lost: call finish() to know it).
    ~McapWriter();
    McapWriter(const McapWriter&) = delete;
    McapWriter& operator=(const McapWriter&) = delete;

    // Creates (or replaces) the file at path, mode 0666 less the umask, and
    // writes its magic and Header. Refused while a file is open.
    Status open(const std::string& path, const WriterOptions& options);
    bool isOpen() const;

    // Adds a message type; id receives its id (1, 2, ...). The Schema record
    // is written at once (outside chunks) and repeated in the summary.
    Status addSchema(const std::string& name, const std::string& encoding, const std::string& data, uint16_t& id);

    // Adds a topic of messages of schema schemaId (0: no schema); id receives
    // its id (1, 2, ...). Written at once and repeated in the summary.
    Status addChannel(uint16_t schemaId, const std::string& topic, const std::string& messageEncoding,
                      const StringMap& metadata, uint16_t& id);

    // Adds one message to the open chunk (log and publish times in ns). The
    // payload is copied; the caller keeps its buffer. Writes the chunk when
    // it is full. A channel that was never added is refused (nothing written,
    // the writer stays usable).
    Status writeMessage(uint16_t channelId, uint32_t sequence, uint64_t logTime, uint64_t publishTime,
                        const void* data, size_t size);

    // Writes a file's bytes whole as an Attachment (with its CRC), at once.
    Status attach(const std::string& name, const std::string& mediaType, uint64_t logTime, uint64_t createTime,
                  const void* data, size_t size);

    // Writes a Metadata record, at once.
    Status addMetadata(const std::string& name, const StringMap& entries);

    // Closes the open chunk: writes it and its message indexes (nothing when
    // it holds no message). Data reaches the operating system, which keeps it
    // if the process is killed; it is not synced to the disk.
    Status flush();

    // Writes the open chunk, Data End (with the data section's CRC), the
    // summary, the summary offsets and the Footer; syncs and closes the file.
    // After a write error it only closes the file and returns that error.
    Status finish();

    // The first write error, sticky (ok when there was none).
    const Status& status() const;
    // What the file holds so far, messages of the open chunk included.
    Statistics statistics() const;
    // Bytes in the file so far: whole records, the open chunk not included.
    uint64_t bytesWritten() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace brovarecording
