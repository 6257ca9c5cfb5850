// The MCAP reader: a finished file through its summary (the summary's CRC
// checked), or a file without one (a recording that was not finished, kept
// as FILE.partial) by scanning its records: every complete chunk is
// recovered and the scan stops cleanly at a truncated record.
//
// Bounded against hostile input: every length is checked against what the
// file holds before anything is allocated for it, a chunk's uncompressed size
// is capped (ReaderOptions::maxChunkSize), each chunk's CRC is checked when it
// is read, and every loop advances through the file. A corrupt or truncated
// file gives a Status with a clear message, never a crash or a hang.
//
// The reader reads with pread (or from the caller's memory) and keeps no
// state between reads: its const functions may run on several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mcap.h"

namespace brovarecording {

struct ReaderOptions {
    // A chunk that claims more uncompressed bytes than this is refused.
    uint64_t maxChunkSize = uint64_t(256) << 20;
};

class McapReader {
public:
    McapReader();
    ~McapReader();
    McapReader(const McapReader&) = delete;
    McapReader& operator=(const McapReader&) = delete;

    // Opens the file at path and reads its summary, or scans it when it has
    // none (which reads and checks every chunk). Any file opened before is
    // closed first; on failure the reader holds nothing.
    Status open(const std::string& path, const ReaderOptions& options = {});
    // The same over bytes in memory, which stay the caller's: they must
    // outlive the reader (or its next open or close).
    Status openMemory(const uint8_t* data, size_t size, const ReaderOptions& options = {});
    void close();

    // True when the contents came from the file's summary (a finished file);
    // false when they were found by scanning.
    bool indexed() const;
    // For a scanned file: why it has no summary and where the scan stopped,
    // e.g. "no summary; the data ends in a truncated record at byte 5120".
    const std::string& scanNote() const;

    const Header& header() const;
    const std::vector<Schema>& schemas() const;
    const std::vector<Channel>& channels() const;
    const Schema* schema(uint16_t id) const;    // null when absent; owned by the reader
    const Channel* channel(uint16_t id) const;  // null when absent; owned by the reader
    // From the summary's Statistics record, or counted (scanned files, and
    // summaries without one).
    const Statistics& statistics() const;
    const std::vector<Metadata>& metadata() const;
    const std::vector<AttachmentInfo>& attachments() const;
    const std::vector<ChunkInfo>& chunks() const;  // in file order

    // The bytes of attachment index (of attachments()), with its CRC checked.
    Status readAttachment(size_t index, std::string& data) const;

    // Every message of one channel, in log-time order (messages of equal
    // times in file order), appended to out. Each chunk read is checked
    // against its CRC; at a fault, out keeps what was read before it.
    Status readMessages(uint16_t channelId, std::vector<Message>& out) const;

    // Every message of the file in file order (chunk by chunk; within a
    // chunk, as written), until visit returns false. The view is valid only
    // during the call.
    Status forEachMessage(const std::function<bool(const MessageView&)>& visit) const;

    // Reads the whole file and checks it: the data section's CRC, every
    // chunk's CRC and time range, the message indexes against the chunks'
    // messages, the statistics against the messages, the summary offsets
    // against the summary, and every attachment's CRC. Ok or the first fault.
    Status verify() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace brovarecording
