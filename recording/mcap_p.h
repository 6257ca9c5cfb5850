// Inside the MCAP unit: record opcodes, the little-endian encoding and the
// bounded decoding of fields, CRC-32 and the chunk codecs.
#pragma once

#include <cerrno>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <cstdint>
#include <string>
#include <vector>

#include "mcap.h"

namespace brovarecording {
namespace detail {

// The bytes a file starts and ends with.
constexpr uint8_t kMagic[8] = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

enum Opcode : uint8_t {
    kHeader = 0x01,
    kFooter = 0x02,
    kSchema = 0x03,
    kChannel = 0x04,
    kMessage = 0x05,
    kChunk = 0x06,
    kMessageIndex = 0x07,
    kChunkIndex = 0x08,
    kAttachment = 0x09,
    kAttachmentIndex = 0x0A,
    kStatistics = 0x0B,
    kMetadata = 0x0C,
    kMetadataIndex = 0x0D,
    kSummaryOffset = 0x0E,
    kDataEnd = 0x0F,
};

// Every record: opcode (1 byte) and body length (8 bytes), then the body.
constexpr size_t kRecordPrefix = 9;
constexpr size_t kFooterBody = 8 + 8 + 4;
// Footer record and closing magic: the last bytes of a finished file.
constexpr size_t kTail = kRecordPrefix + kFooterBody + 8;
// A Data End record: prefix and its CRC.
constexpr size_t kDataEndSize = kRecordPrefix + 4;
// A Message record's body before its payload.
constexpr size_t kMessageFields = 2 + 4 + 8 + 8;

// Appends little-endian fields to a buffer.
class Encoder {
public:
    explicit Encoder(std::vector<uint8_t>& buffer) : b_(buffer) {}
    void u8(uint8_t v) { b_.push_back(v); }
    void u16(uint16_t v) { le(v, 2); }
    void u32(uint32_t v) { le(v, 4); }
    void u64(uint64_t v) { le(v, 8); }
    void raw(const void* data, size_t size);
    void str(const std::string& s);  // uint32 length, bytes (callers check the length fits)
    void map(const StringMap& m);    // uint32 byte length, key/value strings
    // Opcode and a length to be filled in by end(); returns where the length is.
    size_t begin(uint8_t opcode);
    void end(size_t lengthAt);  // the body length: everything after lengthAt + 8
    void patch64(size_t at, uint64_t v);
    void patch32(size_t at, uint32_t v);

private:
    void le(uint64_t v, int bytes);
    std::vector<uint8_t>& b_;
};

// The encoded size of a string map.
uint64_t mapSize(const StringMap& m);

// Reads fields from a span; the first read past its end fails the cursor and
// every later read returns zero or empty. Nothing is allocated beyond the span.
class Cursor {
public:
    Cursor(const uint8_t* data, size_t size) : p_(data), n_(size) {}
    bool ok() const { return ok_; }
    size_t left() const { return n_; }
    const uint8_t* here() const { return p_; }
    void fail() { ok_ = false; n_ = 0; }
    uint8_t u8() { return uint8_t(le(1)); }
    uint16_t u16() { return uint16_t(le(2)); }
    uint32_t u32() { return uint32_t(le(4)); }
    uint64_t u64() { return le(8); }
    std::string str();  // uint32 length, bytes
    StringMap map();    // uint32 byte length, key/value strings
    // A length-prefixed byte run (uint32 or uint64 prefix): a view into the span.
    bool bytes32(const uint8_t*& data, size_t& size);
    bool bytes64(const uint8_t*& data, size_t& size);
    bool take(size_t k, const uint8_t*& data);
    void skip(size_t k);

private:
    bool need(size_t k);
    uint64_t le(int bytes);
    const uint8_t* p_;
    size_t n_;
    bool ok_ = true;
};

uint32_t crc32(uint32_t crc, const void* data, size_t size);  // zlib's, any size

// Runs f; memory that cannot be had (the containers' exceptions) becomes a
// failed Status, kept in *sticky as well when given.
template <class F>
Status noThrow(F&& f, Status* sticky = nullptr)
{
    try {
        return f();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    Status s = Status::failure("out of memory", ENOMEM);
    if (sticky)
        *sticky = s;
    return s;
}

// Compresses a chunk's records. One per writer: the zstd context is reused.
class Compressor {
public:
    Compressor(Compression compression, int level);
    ~Compressor();
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
    // The chunk's compression field: "", "zstd" or "lz4".
    const char* fieldName() const;
    // Appends the compressed form of [data, data + size) to out.
    bool compress(const uint8_t* data, size_t size, std::vector<uint8_t>& out, std::string& error);

private:
    Compression compression_;
    int level_;
    void* zstd_ = nullptr;  // ZSTD_CCtx
};

// Decompresses a chunk's records of the named compression ("", "zstd",
// "lz4") into exactly outSize bytes; false with error otherwise.
bool decompress(const std::string& compression, const uint8_t* data, size_t size, uint8_t* out, size_t outSize,
                std::string& error);

} // namespace detail
} // namespace brovarecording
