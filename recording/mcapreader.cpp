// The MCAP reader. Opening reads the Header, then either the summary that the
// Footer points at, or (no Footer) every record of the data section. The
// messages live in blocks: a Chunk, or a Message record outside any chunk;
// reads load one block at a time.
#include "mcapreader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <tuple>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mcap_p.h"

namespace brovarecording {

using namespace detail;

namespace {

// A run of records that holds messages: a Chunk, or one Message record
// outside chunks.
struct Block {
    uint64_t offset = 0;
    uint64_t length = 0;  // the record, opcode and length included
    bool chunk = true;
    size_t info = 0;  // its ChunkInfo (chunks)
    // Channels with messages in it (empty: unknown, read it for any channel).
    std::vector<uint16_t> channels;
    // The chunk's Message Index records, by channel, and their bytes.
    std::map<uint16_t, uint64_t> indexOffsets;
    uint64_t indexLength = 0;
};

// A chunk's fields as its record gives them.
struct ChunkFields {
    uint64_t startTime = 0, endTime = 0, uncompressedSize = 0, compressedSize = 0;
    uint32_t crc = 0;
    std::string compression;
};

bool sameSchema(const Schema& a, const Schema& b)
{
    return a.name == b.name && a.encoding == b.encoding && a.data == b.data;
}

bool sameChannel(const Channel& a, const Channel& b)
{
    return a.schemaId == b.schemaId && a.topic == b.topic && a.messageEncoding == b.messageEncoding &&
           a.metadata == b.metadata;
}

std::string at(uint64_t offset)
{
    return "at byte " + std::to_string(offset);
}

} // namespace

struct McapReader::Impl {
    int fd = -1;
    const uint8_t* memory = nullptr;
    uint64_t size = 0;
    std::string name;  // for messages: the path
    ReaderOptions options;

    bool indexed = false;
    std::string note;
    Header header;
    std::vector<Schema> schemas;
    std::vector<Channel> channels;
    std::map<uint16_t, size_t> schemaAt, channelAt;
    Statistics stats;
    bool statsInFile = false;
    std::vector<Metadata> metadata;
    std::vector<AttachmentInfo> attachments;
    std::vector<ChunkInfo> chunkInfos;
    std::vector<Block> blocks;  // in file order
    uint64_t dataStart = 0;     // after the Header
    bool hasDataEnd = false;
    uint64_t dataEndAt = 0;     // the Data End record
    uint32_t dataCrc = 0;
    uint64_t summaryStart = 0, summaryEnd = 0, summaryOffsetStart = 0, footerAt = 0;

    Status bad(const std::string& what) const { return Status::failure(name + ": " + what); }
    Status corrupt(const std::string& what) const { return bad(what + " (the file is corrupt)"); }

    Status read(uint64_t offset, uint64_t n, uint8_t* out) const
    {
        if (offset > size || n > size - offset)
            return corrupt("a read past the end of the file, " + at(offset));
        if (memory) {
            if (n > 0)
                std::memcpy(out, memory + offset, size_t(n));
            return {};
        }
        uint64_t done = 0;
        while (done < n) {
            const ssize_t r = ::pread(fd, out + done, size_t(n - done), off_t(offset + done));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0) {
                const int e = r < 0 ? errno : 0;
                return Status::failure("cannot read " + name + ": " + (e ? std::strerror(e) : "it became shorter"), e);
            }
            done += uint64_t(r);
        }
        return {};
    }

    Status read(uint64_t offset, uint64_t n, std::vector<uint8_t>& out) const
    {
        if (offset > size || n > size - offset)
            return corrupt("a read past the end of the file, " + at(offset));
        out.resize(size_t(n));
        return read(offset, n, out.data());
    }

    // A whole record at offset that must end by limit: its opcode and body.
    Status readRecord(uint64_t offset, uint64_t limit, uint8_t& opcode, std::vector<uint8_t>& body) const
    {
        uint8_t prefix[kRecordPrefix];
        if (limit > size || offset > limit || limit - offset < kRecordPrefix)
            return corrupt("no record " + at(offset));
        if (Status s = read(offset, kRecordPrefix, prefix); !s)
            return s;
        Cursor c(prefix, sizeof prefix);
        opcode = c.u8();
        const uint64_t length = c.u64();
        if (length > limit - offset - kRecordPrefix)
            return corrupt("a record " + at(offset) + " runs past its section");
        return read(offset + kRecordPrefix, length, body);
    }

    Status addSchema(Schema s)
    {
        if (s.id == 0)
            return corrupt("a schema with id 0");
        auto it = schemaAt.find(s.id);
        if (it != schemaAt.end())
            return sameSchema(schemas[it->second], s) ? Status{}
                                                      : corrupt("two different schemas " + std::to_string(s.id));
        schemaAt[s.id] = schemas.size();
        schemas.push_back(std::move(s));
        return {};
    }

    Status addChannel(Channel c)
    {
        auto it = channelAt.find(c.id);
        if (it != channelAt.end())
            return sameChannel(channels[it->second], c) ? Status{}
                                                        : corrupt("two different channels " + std::to_string(c.id));
        channelAt[c.id] = channels.size();
        channels.push_back(std::move(c));
        return {};
    }

    // Schema and Channel records, wherever they are.
    Status definition(uint8_t opcode, const uint8_t* p, size_t n, uint64_t offset)
    {
        Cursor c(p, n);
        if (opcode == kSchema) {
            Schema s;
            s.id = c.u16();
            s.name = c.str();
            s.encoding = c.str();
            s.data = c.str();
            return c.ok() ? addSchema(std::move(s)) : corrupt("a cut Schema record " + at(offset));
        }
        Channel ch;
        ch.id = c.u16();
        ch.schemaId = c.u16();
        ch.topic = c.str();
        ch.messageEncoding = c.str();
        ch.metadata = c.map();
        return c.ok() ? addChannel(std::move(ch)) : corrupt("a cut Channel record " + at(offset));
    }

    Status parseMetadata(const uint8_t* p, size_t n, uint64_t offset)
    {
        Cursor c(p, n);
        Metadata m;
        m.name = c.str();
        m.entries = c.map();
        if (!c.ok() || c.left() != 0)
            return corrupt("a bad Metadata record " + at(offset));
        metadata.push_back(std::move(m));
        return {};
    }

    // An Attachment record's fields other than its data (which stays in p).
    Status parseAttachment(const uint8_t* p, size_t n, uint64_t offset, AttachmentInfo& a, const uint8_t*& data,
                           uint32_t& crc) const
    {
        Cursor c(p, n);
        a.logTime = c.u64();
        a.createTime = c.u64();
        a.name = c.str();
        a.mediaType = c.str();
        size_t dataSize = 0;
        c.bytes64(data, dataSize);
        crc = c.u32();
        if (!c.ok() || c.left() != 0)
            return corrupt("a bad Attachment record " + at(offset));
        a.dataSize = dataSize;
        a.offset = offset;
        a.length = kRecordPrefix + n;
        return {};
    }

    Status readChunk(const Block& b, std::vector<uint8_t>& raw, std::vector<uint8_t>& records,
                     ChunkFields& f) const;
    Status loadBlock(const Block& b, std::vector<uint8_t>& raw, std::vector<uint8_t>& records,
                     ChunkFields* fields) const;
    Status eachRecord(const std::vector<uint8_t>& records, uint64_t blockOffset,
                      const std::function<Status(uint8_t, const uint8_t*, size_t, uint64_t)>& fn) const;
    Status open();
    Status openSummary();
    Status scan(uint64_t from, uint64_t to, bool countMessages);
    void countMessage(const MessageView& m);
    Status countAll();
};

namespace {

bool parseMessage(const uint8_t* p, size_t n, MessageView& m)
{
    if (n < kMessageFields)
        return false;
    Cursor c(p, n);
    m.channelId = c.u16();
    m.sequence = c.u32();
    m.logTime = c.u64();
    m.publishTime = c.u64();
    m.data = c.here();
    m.size = c.left();
    return true;
}

} // namespace

Status McapReader::Impl::readChunk(const Block& b, std::vector<uint8_t>& raw, std::vector<uint8_t>& records,
                                   ChunkFields& f) const
{
    uint8_t opcode = 0;
    if (Status s = readRecord(b.offset, b.offset + b.length, opcode, raw); !s)
        return s;
    if (opcode != kChunk || raw.size() + kRecordPrefix != b.length)
        return corrupt("no Chunk record " + at(b.offset) + " where the index has one");
    Cursor c(raw.data(), raw.size());
    f.startTime = c.u64();
    f.endTime = c.u64();
    f.uncompressedSize = c.u64();
    f.crc = c.u32();
    f.compression = c.str();
    const uint8_t* data = nullptr;
    size_t n = 0;
    c.bytes64(data, n);
    if (!c.ok() || c.left() != 0)
        return corrupt("a bad Chunk record " + at(b.offset));
    f.compressedSize = n;
    if (f.uncompressedSize > options.maxChunkSize)
        return bad("the chunk " + at(b.offset) + " claims " + std::to_string(f.uncompressedSize) +
                   " uncompressed bytes, more than the reader's limit of " + std::to_string(options.maxChunkSize));
    records.resize(size_t(f.uncompressedSize));
    std::string error;
    if (!decompress(f.compression, data, n, records.data(), records.size(), error))
        return corrupt("the chunk " + at(b.offset) + " cannot be decompressed: " + error);
    if (f.crc != 0 && crc32(0, records.data(), records.size()) != f.crc)
        return corrupt("the chunk " + at(b.offset) + " does not match its CRC");
    return {};
}

// A block's records, uncompressed: a chunk's, or the one Message record.
Status McapReader::Impl::loadBlock(const Block& b, std::vector<uint8_t>& raw, std::vector<uint8_t>& records,
                                   ChunkFields* fields) const
{
    if (b.chunk) {
        ChunkFields f;
        Status s = readChunk(b, raw, records, f);
        if (fields)
            *fields = f;
        return s;
    }
    return read(b.offset, b.length, records);
}

Status McapReader::Impl::eachRecord(const std::vector<uint8_t>& records, uint64_t blockOffset,
                                    const std::function<Status(uint8_t, const uint8_t*, size_t, uint64_t)>& fn) const
{
    size_t pos = 0;
    while (pos < records.size()) {
        Cursor c(records.data() + pos, records.size() - pos);
        const uint8_t opcode = c.u8();
        const uint64_t length = c.u64();
        if (!c.ok() || length > c.left())
            return corrupt("a cut record inside the chunk " + at(blockOffset));
        if (Status s = fn(opcode, c.here(), size_t(length), pos); !s)
            return s;
        pos += kRecordPrefix + size_t(length);
    }
    return {};
}

void McapReader::Impl::countMessage(const MessageView& m)
{
    if (stats.messageCount == 0 || m.logTime < stats.messageStartTime)
        stats.messageStartTime = m.logTime;
    if (stats.messageCount == 0 || m.logTime > stats.messageEndTime)
        stats.messageEndTime = m.logTime;
    ++stats.messageCount;
    ++stats.channelMessageCounts[m.channelId];
}

// The records of [from, to): definitions, chunks (read and checked), messages
// outside chunks, message indexes, attachments and metadata. Stops at Data
// End, at a Footer, or cleanly before a record that is cut short.
Status McapReader::Impl::scan(uint64_t from, uint64_t to, bool countMessages)
{
    std::vector<uint8_t> body, records;
    uint64_t pos = from;
    uint64_t indexEnd = 0;  // where the last chunk's message indexes end
    note.clear();
    while (pos < to) {
        uint8_t prefix[kRecordPrefix];
        if (to - pos < kRecordPrefix) {
            note = "the data ends in a truncated record " + at(pos);
            return {};
        }
        if (Status s = read(pos, kRecordPrefix, prefix); !s)
            return s;
        Cursor c(prefix, sizeof prefix);
        const uint8_t opcode = c.u8();
        const uint64_t length = c.u64();
        if (length > to - pos - kRecordPrefix) {
            note = "the data ends in a truncated record " + at(pos);
            return {};
        }
        const uint64_t next = pos + kRecordPrefix + length;
        switch (opcode) {
        case kSchema:
        case kChannel:
            if (Status s = read(pos + kRecordPrefix, length, body); !s)
                return s;
            if (Status s = definition(opcode, body.data(), body.size(), pos); !s)
                return s;
            break;
        case kMessage: {
            if (length < kMessageFields)
                return corrupt("a cut Message record " + at(pos));
            if (Status s = read(pos + kRecordPrefix, kMessageFields, body); !s)
                return s;
            MessageView m;
            parseMessage(body.data(), body.size(), m);
            Block b;
            b.offset = pos;
            b.length = next - pos;
            b.chunk = false;
            b.channels = {m.channelId};
            blocks.push_back(std::move(b));
            if (countMessages)
                countMessage(m);
            break;
        }
        case kChunk: {
            Block b;
            b.offset = pos;
            b.length = next - pos;
            ChunkFields f;
            if (Status s = readChunk(b, body, records, f); !s)
                return s;
            std::set<uint16_t> found;
            Status s = eachRecord(records, pos, [&](uint8_t op, const uint8_t* p, size_t n, uint64_t) -> Status {
                if (op == kSchema || op == kChannel)
                    return definition(op, p, n, pos);
                MessageView m;
                if (op != kMessage)
                    return {};
                if (!parseMessage(p, n, m))
                    return corrupt("a cut Message record in the chunk " + at(pos));
                found.insert(m.channelId);
                if (countMessages)
                    countMessage(m);
                return {};
            });
            if (!s)
                return s;
            b.channels.assign(found.begin(), found.end());
            b.info = chunkInfos.size();
            chunkInfos.push_back({pos, b.length, f.startTime, f.endTime, f.compression, f.compressedSize,
                                  f.uncompressedSize});
            blocks.push_back(std::move(b));
            indexEnd = next;
            break;
        }
        case kMessageIndex:
            // The indexes that follow a chunk belong to it.
            if (pos == indexEnd && !blocks.empty() && blocks.back().chunk && length >= 2) {
                if (Status s = read(pos + kRecordPrefix, 2, body); !s)
                    return s;
                Block& b = blocks.back();
                b.indexOffsets[uint16_t(body[0] | body[1] << 8)] = pos;
                b.indexLength += next - pos;
                indexEnd = next;
            }
            break;
        case kAttachment: {
            if (Status s = read(pos + kRecordPrefix, length, body); !s)
                return s;
            AttachmentInfo a;
            const uint8_t* data = nullptr;
            uint32_t crc = 0;
            if (Status s = parseAttachment(body.data(), body.size(), pos, a, data, crc); !s)
                return s;
            attachments.push_back(std::move(a));
            break;
        }
        case kMetadata:
            if (Status s = read(pos + kRecordPrefix, length, body); !s)
                return s;
            if (Status s = parseMetadata(body.data(), body.size(), pos); !s)
                return s;
            break;
        case kDataEnd:
            if (length < 4)
                return corrupt("a cut Data End record " + at(pos));
            if (Status s = read(pos + kRecordPrefix, 4, body); !s)
                return s;
            hasDataEnd = true;
            dataEndAt = pos;
            dataCrc = Cursor(body.data(), 4).u32();
            return {};
        case kFooter:
            return {};
        default:  // records of other kinds, and of kinds unknown to this reader, are skipped
            break;
        }
        pos = next;
    }
    return {};
}

// Counts the messages of every block (a summary without Statistics).
Status McapReader::Impl::countAll()
{
    std::vector<uint8_t> raw, records;
    for (const Block& b : blocks) {
        if (Status s = loadBlock(b, raw, records, nullptr); !s)
            return s;
        Status s = eachRecord(records, b.offset, [&](uint8_t op, const uint8_t* p, size_t n, uint64_t) -> Status {
            MessageView m;
            if (op == kMessage && parseMessage(p, n, m))
                countMessage(m);
            return {};
        });
        if (!s)
            return s;
    }
    return {};
}

Status McapReader::Impl::openSummary()
{
    uint8_t tail[kTail];
    if (Status s = read(size - kTail, kTail, tail); !s)
        return s;
    Cursor c(tail, sizeof tail);
    footerAt = size - kTail;
    if (c.u8() != kFooter || c.u64() != kFooterBody)
        return corrupt("the file ends in its magic but has no Footer before it");
    summaryStart = c.u64();
    summaryOffsetStart = c.u64();
    const uint32_t summaryCrc = c.u32();

    // The summary's CRC first: it covers the Footer's offsets too.
    const uint64_t dataEnd = summaryStart ? summaryStart : (summaryOffsetStart ? summaryOffsetStart : footerAt);
    if (dataEnd < dataStart + kDataEndSize || dataEnd > footerAt)
        return corrupt("the Footer points outside the file");
    summaryEnd = summaryOffsetStart ? summaryOffsetStart : footerAt;
    if (summaryStart && (summaryEnd < summaryStart || summaryEnd > footerAt))
        return corrupt("the Footer's summary offsets are out of order");
    std::vector<uint8_t> summary;
    if (summaryStart) {
        if (Status s = read(summaryStart, footerAt + kRecordPrefix + 16 - summaryStart, summary); !s)
            return s;
        if (summaryCrc != 0 && crc32(0, summary.data(), summary.size()) != summaryCrc)
            return corrupt("the summary does not match its CRC");
    }

    // Data End closes the data section: right before the summary, or before
    // the Footer in a file without a summary.
    uint8_t end[kDataEndSize];
    if (Status s = read(dataEnd - kDataEndSize, kDataEndSize, end); !s)
        return s;
    Cursor e(end, sizeof end);
    if (e.u8() != kDataEnd || e.u64() != 4)
        return corrupt("no Data End record before the summary");
    hasDataEnd = true;
    dataEndAt = dataEnd - kDataEndSize;
    dataCrc = e.u32();

    if (summaryStart == 0) {
        note = "finished without a summary";
        return scan(dataStart, dataEndAt, true);
    }
    std::vector<uint8_t> body;
    std::vector<std::pair<uint64_t, uint64_t>> metadataRecords;  // where and how long
    size_t pos = 0;
    const size_t end2 = size_t(summaryEnd - summaryStart);
    while (pos < end2) {
        Cursor r(summary.data() + pos, end2 - pos);
        const uint8_t opcode = r.u8();
        const uint64_t length = r.u64();
        if (!r.ok() || length > r.left())
            return corrupt("a cut record in the summary " + at(summaryStart + pos));
        const uint64_t offset = summaryStart + pos;
        Cursor f(r.here(), size_t(length));
        switch (opcode) {
        case kSchema:
        case kChannel:
            if (Status s = definition(opcode, r.here(), size_t(length), offset); !s)
                return s;
            break;
        case kStatistics:
            stats.messageCount = f.u64();
            stats.schemaCount = f.u16();
            stats.channelCount = f.u32();
            stats.attachmentCount = f.u32();
            stats.metadataCount = f.u32();
            stats.chunkCount = f.u32();
            stats.messageStartTime = f.u64();
            stats.messageEndTime = f.u64();
            {
                const uint8_t* p = nullptr;
                size_t n = 0;
                f.bytes32(p, n);
                Cursor m(p, n);
                while (f.ok() && m.ok() && m.left() > 0) {
                    const uint16_t channel = m.u16();
                    const uint64_t count = m.u64();
                    if (m.ok())
                        stats.channelMessageCounts[channel] = count;
                }
                if (!m.ok())
                    f.fail();
            }
            if (!f.ok())
                return corrupt("a cut Statistics record " + at(offset));
            statsInFile = true;
            break;
        case kChunkIndex: {
            ChunkInfo info;
            Block b;
            info.messageStartTime = f.u64();
            info.messageEndTime = f.u64();
            info.offset = b.offset = f.u64();
            info.length = b.length = f.u64();
            const uint8_t* p = nullptr;
            size_t n = 0;
            f.bytes32(p, n);
            Cursor m(p, n);
            while (f.ok() && m.ok() && m.left() > 0) {
                const uint16_t channel = m.u16();
                const uint64_t where = m.u64();
                if (m.ok()) {
                    b.indexOffsets[channel] = where;
                    b.channels.push_back(channel);
                }
            }
            if (!m.ok())
                f.fail();
            b.indexLength = f.u64();
            std::sort(b.channels.begin(), b.channels.end());
            info.compression = f.str();
            info.compressedSize = f.u64();
            info.uncompressedSize = f.u64();
            if (!f.ok())
                return corrupt("a cut Chunk Index record " + at(offset));
            if (b.offset < dataStart || b.offset > dataEndAt || b.length > dataEndAt - b.offset ||
                b.length < kRecordPrefix || b.indexLength > dataEndAt - b.offset - b.length)
                return corrupt("a Chunk Index points outside the data section " + at(offset));
            b.info = chunkInfos.size();
            chunkInfos.push_back(std::move(info));
            blocks.push_back(std::move(b));
            break;
        }
        case kAttachmentIndex: {
            AttachmentInfo a;
            a.offset = f.u64();
            a.length = f.u64();
            a.logTime = f.u64();
            a.createTime = f.u64();
            a.dataSize = f.u64();
            a.name = f.str();
            a.mediaType = f.str();
            if (!f.ok())
                return corrupt("a cut Attachment Index record " + at(offset));
            if (a.offset < dataStart || a.offset > dataEndAt || a.length > dataEndAt - a.offset)
                return corrupt("an Attachment Index points outside the data section " + at(offset));
            attachments.push_back(std::move(a));
            break;
        }
        case kMetadataIndex: {
            const uint64_t where = f.u64();
            const uint64_t length2 = f.u64();
            f.str();
            if (!f.ok())
                return corrupt("a cut Metadata Index record " + at(offset));
            if (where < dataStart || where > dataEndAt || length2 > dataEndAt - where)
                return corrupt("a Metadata Index points outside the data section " + at(offset));
            metadataRecords.emplace_back(where, length2);
            break;
        }
        default:
            break;
        }
        pos += kRecordPrefix + size_t(length);
    }
    indexed = true;

    // Chunks in file order, each with its message indexes apart from the
    // next: no byte is read twice for two indexes.
    std::vector<size_t> order(blocks.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return blocks[a].offset < blocks[b].offset; });
    std::vector<Block> sorted;
    std::vector<ChunkInfo> infos;
    for (size_t i : order) {
        const Block* last = sorted.empty() ? nullptr : &sorted.back();
        if (last && blocks[i].offset < last->offset + last->length + last->indexLength)
            return corrupt("two Chunk Index records point at overlapping chunks");
        sorted.push_back(std::move(blocks[i]));
        infos.push_back(std::move(chunkInfos[sorted.back().info]));
        sorted.back().info = infos.size() - 1;
    }
    blocks = std::move(sorted);
    chunkInfos = std::move(infos);

    // Attachments and metadata records apart from each other as well.
    std::sort(attachments.begin(), attachments.end(),
              [](const AttachmentInfo& a, const AttachmentInfo& b) { return a.offset < b.offset; });
    for (size_t i = 1; i < attachments.size(); ++i) {
        if (attachments[i].offset < attachments[i - 1].offset + attachments[i - 1].length)
            return corrupt("two Attachment Index records point at overlapping attachments");
    }
    std::sort(metadataRecords.begin(), metadataRecords.end());
    for (size_t i = 0; i < metadataRecords.size(); ++i) {
        const auto [where, length] = metadataRecords[i];
        if (i > 0 && where < metadataRecords[i - 1].first + metadataRecords[i - 1].second)
            return corrupt("two Metadata Index records point at overlapping records");
        uint8_t op = 0;
        if (Status s = readRecord(where, where + length, op, body); !s)
            return s;
        if (op != kMetadata || body.size() + kRecordPrefix != length)
            return corrupt("no Metadata record " + at(where) + " where the index has one");
        if (Status s = parseMetadata(body.data(), body.size(), where); !s)
            return s;
    }

    // Without chunk indexes the messages are found by scanning the data.
    if (blocks.empty()) {
        const bool countMessages = !statsInFile;
        const std::vector<AttachmentInfo> keep = attachments;
        const std::vector<Metadata> keepMetadata = metadata;
        if (Status s = scan(dataStart, dataEndAt, countMessages); !s)
            return s;
        attachments = keep;
        metadata = keepMetadata;
        note.clear();
    } else if (!statsInFile) {
        if (Status s = countAll(); !s)
            return s;
    }
    return {};
}

Status McapReader::Impl::open()
{
    if (size < sizeof kMagic)
        return bad("not an MCAP file (too short)");
    uint8_t magic[sizeof kMagic];
    if (Status s = read(0, sizeof magic, magic); !s)
        return s;
    if (std::memcmp(magic, kMagic, sizeof magic) != 0)
        return bad("not an MCAP file (it does not start with the MCAP magic)");
    std::vector<uint8_t> body;
    uint8_t opcode = 0;
    if (size - sizeof kMagic < kRecordPrefix)
        return bad("truncated: it ends inside its Header record");
    {
        uint8_t prefix[kRecordPrefix];
        if (Status s = read(sizeof kMagic, kRecordPrefix, prefix); !s)
            return s;
        Cursor c(prefix, sizeof prefix);
        opcode = c.u8();
        const uint64_t length = c.u64();
        if (opcode != kHeader)
            return corrupt("no Header record after the magic");
        if (length > size - sizeof kMagic - kRecordPrefix)
            return bad("truncated: it ends inside its Header record");
        if (Status s = read(sizeof kMagic + kRecordPrefix, length, body); !s)
            return s;
        Cursor h(body.data(), body.size());
        header.profile = h.str();
        header.library = h.str();
        if (!h.ok())
            return corrupt("a bad Header record");
        dataStart = sizeof kMagic + kRecordPrefix + length;
    }

    uint8_t last[sizeof kMagic];
    const bool finished = size >= dataStart + kTail && read(size - sizeof last, sizeof last, last).ok &&
                          std::memcmp(last, kMagic, sizeof last) == 0;
    Status s;
    if (finished) {
        s = openSummary();
    } else {
        s = scan(dataStart, size, true);
        if (s && note.empty())
            note = hasDataEnd ? "the summary is missing or cut short"
                              : "the data ends after its last whole record, at byte " + std::to_string(size);
        if (s)
            note = "no summary; " + note;
    }
    if (!s)
        return s;
    // Every channel's schema is in the file.
    for (const Channel& c : channels) {
        if (c.schemaId != 0 && !schemaAt.count(c.schemaId))
            return corrupt("channel " + std::to_string(c.id) + " (" + c.topic + ") has no schema " +
                           std::to_string(c.schemaId));
    }
    if (!statsInFile) {
        stats.schemaCount = uint16_t(schemas.size());
        stats.channelCount = uint32_t(channels.size());
        stats.attachmentCount = uint32_t(attachments.size());
        stats.metadataCount = uint32_t(metadata.size());
        stats.chunkCount = uint32_t(chunkInfos.size());
    }
    return {};
}

McapReader::McapReader() : d(new Impl) {}

McapReader::~McapReader()
{
    close();
}

void McapReader::close()
{
    if (d->fd >= 0)
        ::close(d->fd);
    *d = Impl();
}

Status McapReader::open(const std::string& path, const ReaderOptions& options)
{
    close();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        return Status::failure("cannot open " + path + ": " + std::strerror(e), e);
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Status::failure("cannot read " + path + ": not a regular file");
    }
    d->fd = fd;
    d->size = uint64_t(st.st_size);
    Status s = noThrow([&] {
        d->name = path;
        d->options = options;
        return d->open();
    });
    if (!s)
        close();
    return s;
}

Status McapReader::openMemory(const uint8_t* data, size_t size, const ReaderOptions& options)
{
    close();
    static const uint8_t empty = 0;
    d->memory = data ? data : &empty;
    d->size = data ? size : 0;
    d->options = options;
    Status s = noThrow([&] {
        d->name = "the recording";
        return d->open();
    });
    if (!s)
        close();
    return s;
}

bool McapReader::indexed() const
{
    return d->indexed;
}

const std::string& McapReader::scanNote() const
{
    return d->note;
}

const Header& McapReader::header() const
{
    return d->header;
}

const std::vector<Schema>& McapReader::schemas() const
{
    return d->schemas;
}

const std::vector<Channel>& McapReader::channels() const
{
    return d->channels;
}

const Schema* McapReader::schema(uint16_t id) const
{
    auto it = d->schemaAt.find(id);
    return it == d->schemaAt.end() ? nullptr : &d->schemas[it->second];
}

const Channel* McapReader::channel(uint16_t id) const
{
    auto it = d->channelAt.find(id);
    return it == d->channelAt.end() ? nullptr : &d->channels[it->second];
}

const Statistics& McapReader::statistics() const
{
    return d->stats;
}

const std::vector<Metadata>& McapReader::metadata() const
{
    return d->metadata;
}

const std::vector<AttachmentInfo>& McapReader::attachments() const
{
    return d->attachments;
}

const std::vector<ChunkInfo>& McapReader::chunks() const
{
    return d->chunkInfos;
}

Status McapReader::readAttachment(size_t index, std::string& data) const
{
    return noThrow([&]() -> Status {
        if (index >= d->attachments.size())
            return Status::failure("no attachment " + std::to_string(index));
        const AttachmentInfo& info = d->attachments[index];
        std::vector<uint8_t> body;
        uint8_t opcode = 0;
        if (Status s = d->readRecord(info.offset, info.offset + info.length, opcode, body); !s)
            return s;
        AttachmentInfo found;
        const uint8_t* p = nullptr;
        uint32_t crc = 0;
        if (opcode != kAttachment || body.size() + kRecordPrefix != info.length)
            return d->corrupt("no Attachment record " + at(info.offset) + " where the index has one");
        if (Status s = d->parseAttachment(body.data(), body.size(), info.offset, found, p, crc); !s)
            return s;
        if (found.name != info.name || found.dataSize != info.dataSize)
            return d->corrupt("the attachment " + at(info.offset) + " is not the one its index describes");
        if (crc != 0 && crc32(0, body.data(), body.size() - 4) != crc)
            return d->corrupt("the attachment " + info.name + " does not match its CRC");
        data.assign(reinterpret_cast<const char*>(p), size_t(found.dataSize));
        return {};
    });
}

Status McapReader::readMessages(uint16_t channelId, std::vector<Message>& out) const
{
    return noThrow([&]() -> Status {
        std::vector<uint8_t> raw, records;
        const size_t first = out.size();
        for (const Block& b : d->blocks) {
            if (!b.channels.empty() && !std::binary_search(b.channels.begin(), b.channels.end(), channelId))
                continue;
            if (Status s = d->loadBlock(b, raw, records, nullptr); !s)
                return s;
            Status s = d->eachRecord(records, b.offset, [&](uint8_t op, const uint8_t* p, size_t n, uint64_t) -> Status {
                MessageView m;
                if (op != kMessage)
                    return {};
                if (!parseMessage(p, n, m))
                    return d->corrupt("a cut Message record " + at(b.offset));
                if (m.channelId == channelId)
                    out.push_back({m.channelId, m.sequence, m.logTime, m.publishTime,
                                   std::vector<uint8_t>(m.data, m.data + m.size)});
                return {};
            });
            if (!s)
                return s;
        }
        std::stable_sort(out.begin() + std::ptrdiff_t(first), out.end(),
                         [](const Message& a, const Message& b) { return a.logTime < b.logTime; });
        return {};
    });
}

Status McapReader::forEachMessage(const std::function<bool(const MessageView&)>& visit) const
{
    if (!visit)
        return Status::failure("no function to visit the messages");
    return noThrow([&]() -> Status {
        std::vector<uint8_t> raw, records;
        bool more = true;
        for (const Block& b : d->blocks) {
            if (Status s = d->loadBlock(b, raw, records, nullptr); !s)
                return s;
            Status s = d->eachRecord(records, b.offset, [&](uint8_t op, const uint8_t* p, size_t n, uint64_t) -> Status {
                MessageView m;
                if (op != kMessage || !more)
                    return {};
                if (!parseMessage(p, n, m))
                    return d->corrupt("a cut Message record " + at(b.offset));
                more = visit(m);
                return {};
            });
            if (!s)
                return s;
            if (!more)
                break;
        }
        return {};
    });
}

Status McapReader::verify() const
{
    return noThrow([&]() -> Status {
        const Impl& r = *d;
        // The data section against Data End's CRC.
        if (r.hasDataEnd && r.dataCrc != 0) {
            std::vector<uint8_t> buffer;
            uint32_t crc = 0;
            for (uint64_t pos = 0; pos < r.dataEndAt;) {
                const uint64_t n = std::min<uint64_t>(r.dataEndAt - pos, 1 << 20);
                if (Status s = r.read(pos, n, buffer); !s)
                    return s;
                crc = crc32(crc, buffer.data(), buffer.size());
                pos += n;
            }
            if (crc != r.dataCrc)
                return r.corrupt("the data section does not match its CRC");
        }

        // Every block: its messages, their times, and the chunk's message indexes.
        Statistics counted;
        uint32_t chunkCount = 0;
        std::vector<uint8_t> raw, records, body;
        for (const Block& b : r.blocks) {
            ChunkFields f;
            if (Status s = r.loadBlock(b, raw, records, &f); !s)
                return s;
            std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> index;
            Status s = r.eachRecord(records, b.offset, [&](uint8_t op, const uint8_t* p, size_t n, uint64_t pos) -> Status {
                MessageView m;
                if (op != kMessage)
                    return {};
                if (!parseMessage(p, n, m))
                    return r.corrupt("a cut Message record " + at(b.offset));
                if (!r.channelAt.count(m.channelId))
                    return r.corrupt("a message " + at(b.offset) + " of channel " + std::to_string(m.channelId) +
                                     ", which the file does not define");
                if (b.chunk && (m.logTime < f.startTime || m.logTime > f.endTime))
                    return r.corrupt("a message outside its chunk's time range " + at(b.offset));
                index[m.channelId].emplace_back(m.logTime, pos);
                if (counted.messageCount == 0 || m.logTime < counted.messageStartTime)
                    counted.messageStartTime = m.logTime;
                if (counted.messageCount == 0 || m.logTime > counted.messageEndTime)
                    counted.messageEndTime = m.logTime;
                ++counted.messageCount;
                ++counted.channelMessageCounts[m.channelId];
                return {};
            });
            if (!s)
                return s;
            if (!b.chunk)
                continue;
            ++chunkCount;
            const ChunkInfo& info = r.chunkInfos[b.info];
            if (info.messageStartTime != f.startTime || info.messageEndTime != f.endTime ||
                info.compression != f.compression || info.compressedSize != f.compressedSize ||
                info.uncompressedSize != f.uncompressedSize)
                return r.corrupt("the Chunk Index of the chunk " + at(b.offset) + " disagrees with the chunk");
            if (b.indexOffsets.empty())
                continue;  // a chunk without message indexes
            for (const auto& [channel, entries] : index) {
                if (!b.indexOffsets.count(channel))
                    return r.corrupt("the chunk " + at(b.offset) + " has no message index for channel " +
                                     std::to_string(channel));
            }
            // The indexes one after the other, none read twice.
            std::vector<std::pair<uint64_t, uint16_t>> byOffset;
            for (const auto& [channel, where] : b.indexOffsets)
                byOffset.emplace_back(where, channel);
            std::sort(byOffset.begin(), byOffset.end());
            uint64_t next = b.offset + b.length;
            for (const auto& [where, channel] : byOffset) {
                uint8_t op = 0;
                if (where < next)
                    return r.corrupt("a message index outside its chunk's indexes " + at(where));
                if (Status s2 = r.readRecord(where, b.offset + b.length + b.indexLength, op, body); !s2)
                    return s2;
                next = where + kRecordPrefix + body.size();
                Cursor c(body.data(), body.size());
                const uint16_t id = c.u16();
                const uint8_t* p = nullptr;
                size_t n = 0;
                c.bytes32(p, n);
                if (op != kMessageIndex || id != channel || !c.ok() || c.left() != 0 || n % 16 != 0)
                    return r.corrupt("a bad Message Index record " + at(where));
                std::vector<std::pair<uint64_t, uint64_t>> listed;
                Cursor e(p, n);
                while (e.left() > 0) {
                    const uint64_t time = e.u64();
                    listed.emplace_back(time, e.u64());
                }
                std::vector<std::pair<uint64_t, uint64_t>> found = index[channel];
                std::sort(listed.begin(), listed.end());
                std::sort(found.begin(), found.end());
                if (listed != found)
                    return r.corrupt("the message index of channel " + std::to_string(channel) + " " + at(where) +
                                     " disagrees with the chunk's messages");
            }
        }

        // The statistics against the messages and records found.
        const Statistics& s = r.stats;
        std::map<uint16_t, uint64_t> listed;
        for (const auto& [channel, count] : s.channelMessageCounts) {
            if (count != 0)
                listed[channel] = count;
        }
        if (s.messageCount != counted.messageCount || listed != counted.channelMessageCounts ||
            s.messageStartTime != counted.messageStartTime || s.messageEndTime != counted.messageEndTime ||
            s.chunkCount != chunkCount || s.schemaCount != r.schemas.size() || s.channelCount != r.channels.size() ||
            s.attachmentCount != r.attachments.size() || s.metadataCount != r.metadata.size())
            return r.corrupt("the statistics disagree with the file's contents");

        // The summary offsets: groups apart from each other, each of records of
        // its kind only.
        if (r.indexed && r.summaryOffsetStart != 0) {
            std::vector<uint8_t> groups, summary;
            if (Status s2 = r.read(r.summaryOffsetStart, r.footerAt - r.summaryOffsetStart, groups); !s2)
                return s2;
            if (Status s2 = r.read(r.summaryStart, r.summaryEnd - r.summaryStart, summary); !s2)
                return s2;
            std::vector<std::tuple<uint64_t, uint64_t, uint8_t>> listed;  // start, length, opcode
            for (size_t pos = 0; pos < groups.size();) {
                Cursor c(groups.data() + pos, groups.size() - pos);
                const uint8_t op = c.u8();
                const uint64_t length = c.u64();
                if (!c.ok() || length > c.left())
                    return r.corrupt("a cut record among the summary offsets");
                Cursor g(c.here(), size_t(length));
                const uint8_t kind = g.u8();
                const uint64_t start = g.u64(), bytes = g.u64();
                if (op == kSummaryOffset) {
                    if (!g.ok() || start < r.summaryStart || start > r.summaryEnd || bytes > r.summaryEnd - start)
                        return r.corrupt("a Summary Offset outside the summary");
                    listed.emplace_back(start - r.summaryStart, bytes, kind);
                }
                pos += kRecordPrefix + size_t(length);
            }
            std::sort(listed.begin(), listed.end());
            uint64_t next = 0;
            for (const auto& [start, bytes, kind] : listed) {
                if (start < next)
                    return r.corrupt("two Summary Offsets cover the same records");
                next = start + bytes;
                for (uint64_t q = start; q < next;) {
                    Cursor rc(summary.data() + q, size_t(next - q));
                    const uint8_t recordOp = rc.u8();
                    const uint64_t recordLength = rc.u64();
                    if (!rc.ok() || recordLength > rc.left() || recordOp != kind)
                        return r.corrupt("a Summary Offset's group holds other records " + at(r.summaryStart + q));
                    q += kRecordPrefix + recordLength;
                }
            }
        }

        for (size_t i = 0; i < r.attachments.size(); ++i) {
            std::string data;
            if (Status s2 = readAttachment(i, data); !s2)
                return s2;
        }
        return {};
    });
}

} // namespace brovarecording
