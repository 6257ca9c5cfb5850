// The MCAP writer. Records outside chunks (Header, Schema, Channel,
// Attachment, Metadata) go to the file as they are made; messages gather in
// the open chunk, which is compressed and written with its message indexes
// when it is full or flushed. Every write is of whole records, so the file
// always ends at a record boundary unless a write fails, and then it is cut
// back to one.
#include "mcapwriter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "mcap_p.h"

namespace brovarecording {

using namespace detail;

namespace {

constexpr uint64_t kNoTime = std::numeric_limits<uint64_t>::max();

bool fits32(uint64_t n)
{
    return n <= std::numeric_limits<uint32_t>::max();
}

struct ChunkIndexEntry {
    uint64_t startTime, endTime, offset, length;
    std::map<uint16_t, uint64_t> messageIndexOffsets;
    uint64_t messageIndexLength;
    uint64_t compressedSize, uncompressedSize;
};

struct IndexEntry {  // an Attachment Index or Metadata Index
    uint64_t offset, length;
    uint64_t logTime, createTime, dataSize;
    std::string name, mediaType;
};

} // namespace

struct McapWriter::Impl {
    int fd = -1;
    std::string path;
    WriterOptions options;
    Status failed;              // the first write error, sticky
    uint64_t offset = 0;        // bytes in the file: whole records
    uint32_t dataCrc = 0;       // of every byte written so far
    std::unique_ptr<Compressor> compressor;

    std::vector<Schema> schemas;
    std::vector<Channel> channels;

    // The open chunk: its records, their times, and each channel's message
    // index (log time, offset into the records).
    std::vector<uint8_t> chunk;
    uint64_t chunkStart = kNoTime, chunkEnd = 0;
    std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> chunkIndex;
    std::vector<uint8_t> out;   // a record (or chunk) being made

    std::vector<ChunkIndexEntry> chunkIndexes;
    std::vector<IndexEntry> attachmentIndexes, metadataIndexes;
    uint64_t messageCount = 0;
    uint64_t startTime = kNoTime, endTime = 0;
    std::map<uint16_t, uint64_t> channelCounts;

    Status usable() const
    {
        if (fd < 0)
            return Status::failure("no recording is open");
        return failed;
    }

    // Writes bytes that end at a record boundary. On failure, remembers the
    // error, and cuts the file back to where the write began so that it ends
    // with the last whole record.
    Status write(const uint8_t* data, size_t size)
    {
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(fd, data + done, size - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                const int e = n < 0 ? errno : EIO;
                failed = Status::failure("cannot write " + path + ": " + std::strerror(e), e);
                if (done > 0 && ::ftruncate(fd, off_t(offset)) == 0)
                    ::lseek(fd, off_t(offset), SEEK_SET);
                return failed;
            }
            done += size_t(n);
        }
        dataCrc = crc32(dataCrc, data, size);
        offset += size;
        return {};
    }

    Status writeOut() { return write(out.data(), out.size()); }

    Status closeChunk();
    Status writeTail();
};

McapWriter::McapWriter() : d(new Impl) {}

McapWriter::~McapWriter()
{
    if (d->fd >= 0)
        finish();
}

bool McapWriter::isOpen() const
{
    return d->fd >= 0;
}

const Status& McapWriter::status() const
{
    return d->failed;
}

uint64_t McapWriter::bytesWritten() const
{
    return d->offset;
}

Status McapWriter::open(const std::string& path, const WriterOptions& options)
{
    if (d->fd >= 0)
        return Status::failure("a recording is open already: " + d->path);
    if (options.chunkSize == 0)
        return Status::failure("the chunk size must be at least 1 byte");
    if (!fits32(options.profile.size()) || !fits32(options.library.size()))
        return Status::failure("the profile or library name is too long");
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (options.exclusive ? O_EXCL : O_TRUNC);
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
        const int e = errno;
        return Status::failure("cannot create " + path + ": " + std::strerror(e), e);
    }
    Status w = noThrow([&]() -> Status {
        *d = Impl();
        d->fd = fd;
        d->path = path;
        d->options = options;
        d->compressor.reset(new Compressor(options.compression, options.compressionLevel));
        Encoder e(d->out);
        e.raw(kMagic, sizeof kMagic);
        const size_t at = e.begin(kHeader);
        e.str(options.profile);
        e.str(options.library);
        e.end(at);
        return d->writeOut();
    });
    if (!w) {
        ::close(fd);
        d->fd = -1;
    }
    return w;
}

Status McapWriter::addSchema(const std::string& name, const std::string& encoding, const std::string& data,
                             uint16_t& id)
{
    return noThrow([&]() -> Status {
        if (Status s = d->usable(); !s)
            return s;
        if (d->schemas.size() >= 0xFFFF)
            return Status::failure("a recording holds at most 65535 schemas");
        if (!fits32(name.size()) || !fits32(encoding.size()) || !fits32(data.size()))
            return Status::failure("schema " + name + " is too large");
        Schema s{uint16_t(d->schemas.size() + 1), name, encoding, data};
        d->out.clear();
        Encoder e(d->out);
        const size_t at = e.begin(kSchema);
        e.u16(s.id);
        e.str(s.name);
        e.str(s.encoding);
        e.str(s.data);
        e.end(at);
        if (Status w = d->writeOut(); !w)
            return w;
        id = s.id;
        d->schemas.push_back(std::move(s));
        return {};
    }, &d->failed);
}

Status McapWriter::addChannel(uint16_t schemaId, const std::string& topic, const std::string& messageEncoding,
                              const StringMap& metadata, uint16_t& id)
{
    return noThrow([&]() -> Status {
        if (Status s = d->usable(); !s)
            return s;
        if (schemaId > d->schemas.size())
            return Status::failure("channel " + topic + ": no schema " + std::to_string(schemaId));
        if (d->channels.size() >= 0xFFFF)
            return Status::failure("a recording holds at most 65535 channels");
        if (!fits32(topic.size()) || !fits32(messageEncoding.size()) || !fits32(mapSize(metadata)))
            return Status::failure("channel " + topic + " is too large");
        Channel c{uint16_t(d->channels.size() + 1), schemaId, topic, messageEncoding, metadata};
        d->out.clear();
        Encoder e(d->out);
        const size_t at = e.begin(kChannel);
        e.u16(c.id);
        e.u16(c.schemaId);
        e.str(c.topic);
        e.str(c.messageEncoding);
        e.map(c.metadata);
        e.end(at);
        if (Status w = d->writeOut(); !w)
            return w;
        id = c.id;
        d->channels.push_back(std::move(c));
        return {};
    }, &d->failed);
}

Status McapWriter::writeMessage(uint16_t channelId, uint32_t sequence, uint64_t logTime, uint64_t publishTime,
                                const void* data, size_t size)
{
    return noThrow([&]() -> Status {
        if (Status s = d->usable(); !s)
            return s;
        if (channelId == 0 || channelId > d->channels.size())
            return Status::failure("no channel " + std::to_string(channelId));
        if (size > 0 && !data)
            return Status::failure("a message of " + std::to_string(size) + " bytes without data");
        // A message that would take the chunk past its size starts a new one.
        const uint64_t record = kRecordPrefix + kMessageFields + uint64_t(size);
        if (!d->chunk.empty() && d->chunk.size() + record > d->options.chunkSize) {
            if (Status s = d->closeChunk(); !s)
                return s;
        }
        Encoder e(d->chunk);
        const uint64_t at = d->chunk.size();
        const size_t lengthAt = e.begin(kMessage);
        e.u16(channelId);
        e.u32(sequence);
        e.u64(logTime);
        e.u64(publishTime);
        e.raw(data, size);
        e.end(lengthAt);
        d->chunkIndex[channelId].emplace_back(logTime, at);
        d->chunkStart = std::min(d->chunkStart, logTime);
        d->chunkEnd = std::max(d->chunkEnd, logTime);
        d->startTime = std::min(d->startTime, logTime);
        d->endTime = std::max(d->endTime, logTime);
        ++d->messageCount;
        ++d->channelCounts[channelId];
        if (d->chunk.size() >= d->options.chunkSize)
            return d->closeChunk();
        return {};
    }, &d->failed);
}

Status McapWriter::Impl::closeChunk()
{
    if (chunk.empty())
        return {};
    // Chunk: start and end time, uncompressed size and CRC, compression,
    // records (uint64 length, then the bytes).
    const std::string compression = compressor->fieldName();
    out.clear();
    Encoder e(out);
    const size_t lengthAt = e.begin(kChunk);
    e.u64(chunkStart);
    e.u64(chunkEnd);
    e.u64(chunk.size());
    e.u32(crc32(0, chunk.data(), chunk.size()));
    e.str(compression);
    const size_t recordsAt = out.size();
    e.u64(0);
    std::string error;
    if (!compressor->compress(chunk.data(), chunk.size(), out, error)) {
        failed = Status::failure("cannot compress a chunk of " + path + ": " + error);
        return failed;
    }
    const uint64_t compressedSize = out.size() - recordsAt - 8;
    e.patch64(recordsAt, compressedSize);
    e.end(lengthAt);

    ChunkIndexEntry entry{chunkStart, chunkEnd, offset, out.size(), {}, 0, compressedSize, chunk.size()};
    if (Status w = writeOut(); !w)
        return w;

    // A Message Index per channel of the chunk, its entries in log-time order.
    out.clear();
    for (auto& [channel, entries] : chunkIndex) {
        std::stable_sort(entries.begin(), entries.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        entry.messageIndexOffsets[channel] = offset + out.size();
        const size_t at = e.begin(kMessageIndex);
        e.u16(channel);
        e.u32(uint32_t(entries.size() * 16));
        for (const auto& [time, at2] : entries) {
            e.u64(time);
            e.u64(at2);
        }
        e.end(at);
    }
    entry.messageIndexLength = out.size();
    chunk.clear();
    chunkIndex.clear();
    chunkStart = kNoTime;
    chunkEnd = 0;
    chunkIndexes.push_back(std::move(entry));
    // The chunk is whole in the file already; a reader that meets no index
    // after it still reads it.
    return writeOut();
}

Status McapWriter::flush()
{
    return noThrow([&]() -> Status {
        if (Status s = d->usable(); !s)
            return s;
        return d->closeChunk();
    }, &d->failed);
}

Status McapWriter::attach(const std::string& name, const std::string& mediaType, uint64_t logTime,
                          uint64_t createTime, const void* data, size_t size)
{
    return noThrow([&]() -> Status {
        if (Status s = d->usable(); !s)
            return s;
        if (!fits32(name.size()) || !fits32(mediaType.size()))
            return Status::failure("attachment " + name + ": its name or media type is too long");
        if (size > 0 && !data)
            return Status::failure("attachment " + name + " without data");
        // Attachment: log time, create time, name, media type, data (uint64
        // length), CRC of everything before it in the body.
        d->out.clear();
        Encoder e(d->out);
        const size_t at = e.begin(kAttachment);
        e.u64(logTime);
        e.u64(createTime);
        e.str(name);
        e.str(mediaType);
        e.u64(size);
        e.raw(data, size);
        e.u32(crc32(0, d->out.data() + kRecordPrefix, d->out.size() - kRecordPrefix));
        e.end(at);
        const uint64_t offset = d->offset;
        if (Status w = d->writeOut(); !w)
            return w;
        d->attachmentIndexes.push_back({offset, d->out.size(), logTime, createTime, size, name, mediaType});
        return {};
    }, &d->failed);
}

Status McapWriter::addMetadata(const std::string& name, const StringMap& entries)
{
    return noThrow([&]() -> Status {
        if (Status s = d->usable(); !s)
            return s;
        if (!fits32(name.size()) || !fits32(mapSize(entries)))
            return Status::failure("metadata " + name + " is too large");
        d->out.clear();
        Encoder e(d->out);
        const size_t at = e.begin(kMetadata);
        e.str(name);
        e.map(entries);
        e.end(at);
        const uint64_t offset = d->offset;
        if (Status w = d->writeOut(); !w)
            return w;
        d->metadataIndexes.push_back({offset, d->out.size(), 0, 0, 0, name, {}});
        return {};
    }, &d->failed);
}

Statistics McapWriter::statistics() const
{
    Statistics s;
    s.messageCount = d->messageCount;
    s.schemaCount = uint16_t(d->schemas.size());
    s.channelCount = uint32_t(d->channels.size());
    s.attachmentCount = uint32_t(d->attachmentIndexes.size());
    s.metadataCount = uint32_t(d->metadataIndexes.size());
    s.chunkCount = uint32_t(d->chunkIndexes.size() + (d->chunk.empty() ? 0 : 1));
    if (d->messageCount > 0) {
        s.messageStartTime = d->startTime;
        s.messageEndTime = d->endTime;
    }
    s.channelMessageCounts = d->channelCounts;
    return s;
}

// Data End, the summary (each kind of record in a group of its own), a
// Summary Offset per group, the Footer and the closing magic: one write.
Status McapWriter::Impl::writeTail()
{
    out.clear();
    Encoder e(out);
    size_t at = e.begin(kDataEnd);
    e.u32(dataCrc);  // of every byte before this record, the magic included
    e.end(at);
    const uint64_t summaryStart = offset + out.size();
    const size_t summaryAt = out.size();

    struct Group {
        uint8_t opcode;
        uint64_t start, length;
    };
    std::vector<Group> groups;
    auto group = [&](uint8_t opcode, size_t from) {
        if (out.size() > from)
            groups.push_back({opcode, offset + from, out.size() - from});
    };

    size_t from = out.size();
    for (const Schema& s : schemas) {
        at = e.begin(kSchema);
        e.u16(s.id);
        e.str(s.name);
        e.str(s.encoding);
        e.str(s.data);
        e.end(at);
    }
    group(kSchema, from);

    from = out.size();
    for (const Channel& c : channels) {
        at = e.begin(kChannel);
        e.u16(c.id);
        e.u16(c.schemaId);
        e.str(c.topic);
        e.str(c.messageEncoding);
        e.map(c.metadata);
        e.end(at);
    }
    group(kChannel, from);

    // Statistics: the counts, the time span, and each channel's count.
    from = out.size();
    at = e.begin(kStatistics);
    e.u64(messageCount);
    e.u16(uint16_t(schemas.size()));
    e.u32(uint32_t(channels.size()));
    e.u32(uint32_t(attachmentIndexes.size()));
    e.u32(uint32_t(metadataIndexes.size()));
    e.u32(uint32_t(chunkIndexes.size()));
    e.u64(messageCount > 0 ? startTime : 0);
    e.u64(messageCount > 0 ? endTime : 0);
    e.u32(uint32_t(channelCounts.size() * 10));
    for (const auto& [channel, count] : channelCounts) {
        e.u16(channel);
        e.u64(count);
    }
    e.end(at);
    group(kStatistics, from);

    from = out.size();
    for (const ChunkIndexEntry& c : chunkIndexes) {
        at = e.begin(kChunkIndex);
        e.u64(c.startTime);
        e.u64(c.endTime);
        e.u64(c.offset);
        e.u64(c.length);
        e.u32(uint32_t(c.messageIndexOffsets.size() * 10));
        for (const auto& [channel, where] : c.messageIndexOffsets) {
            e.u16(channel);
            e.u64(where);
        }
        e.u64(c.messageIndexLength);
        e.str(compressor->fieldName());
        e.u64(c.compressedSize);
        e.u64(c.uncompressedSize);
        e.end(at);
    }
    group(kChunkIndex, from);

    from = out.size();
    for (const IndexEntry& a : attachmentIndexes) {
        at = e.begin(kAttachmentIndex);
        e.u64(a.offset);
        e.u64(a.length);
        e.u64(a.logTime);
        e.u64(a.createTime);
        e.u64(a.dataSize);
        e.str(a.name);
        e.str(a.mediaType);
        e.end(at);
    }
    group(kAttachmentIndex, from);

    from = out.size();
    for (const IndexEntry& m : metadataIndexes) {
        at = e.begin(kMetadataIndex);
        e.u64(m.offset);
        e.u64(m.length);
        e.str(m.name);
        e.end(at);
    }
    group(kMetadataIndex, from);

    const uint64_t summaryOffsetStart = offset + out.size();
    for (const Group& g : groups) {
        at = e.begin(kSummaryOffset);
        e.u8(g.opcode);
        e.u64(g.start);
        e.u64(g.length);
        e.end(at);
    }

    // Footer: where the summary and its offsets start, and the CRC of
    // everything from the summary's start to the end of those two fields.
    e.u8(kFooter);
    e.u64(kFooterBody);
    e.u64(summaryStart);
    e.u64(summaryOffsetStart);
    e.u32(crc32(0, out.data() + summaryAt, out.size() - summaryAt));
    e.raw(kMagic, sizeof kMagic);
    return writeOut();
}

Status McapWriter::finish()
{
    if (d->fd < 0)
        return Status::failure("no recording is open");
    Status result = d->failed;
    if (result)
        result = noThrow([&] { return d->closeChunk(); });
    if (result)
        result = noThrow([&] { return d->writeTail(); });
    if (result && ::fsync(d->fd) != 0) {
        const int e = errno;
        result = Status::failure("cannot write " + d->path + ": " + std::strerror(e), e);
    }
    if (::close(d->fd) != 0 && result) {
        const int e = errno;
        result = Status::failure("cannot write " + d->path + ": " + std::strerror(e), e);
    }
    d->fd = -1;
    if (!result)
        d->failed = result;
    return result;
}

} // namespace brovarecording
