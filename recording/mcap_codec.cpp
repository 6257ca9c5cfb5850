// The MCAP unit's fields, checksums and chunk codecs (zstd, LZ4 frames).
#include "mcap_p.h"

#include <cstring>
#include <limits>

#include <lz4frame.h>
#include <zlib.h>
#include <zstd.h>

namespace brovarecording {

Status Status::failure(std::string message, int error)
{
    Status s;
    s.ok = false;
    s.message = std::move(message);
    s.error = error;
    return s;
}

const char* compressionName(Compression compression)
{
    switch (compression) {
    case Compression::None:
        return "none";
    case Compression::Zstd:
        return "zstd";
    case Compression::Lz4:
        return "lz4";
    }
    return "none";
}

bool parseCompression(const std::string& name, Compression& compression)
{
    for (Compression c : {Compression::None, Compression::Zstd, Compression::Lz4}) {
        if (name == compressionName(c)) {
            compression = c;
            return true;
        }
    }
    return false;
}

namespace detail {

void Encoder::le(uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        b_.push_back(uint8_t(v >> (8 * i)));
}

void Encoder::raw(const void* data, size_t size)
{
    if (size > 0) {
        const auto* p = static_cast<const uint8_t*>(data);
        b_.insert(b_.end(), p, p + size);
    }
}

void Encoder::str(const std::string& s)
{
    u32(uint32_t(s.size()));
    raw(s.data(), s.size());
}

uint64_t mapSize(const StringMap& m)
{
    uint64_t n = 0;
    for (const auto& [key, value] : m)
        n += 8 + key.size() + value.size();
    return n;
}

void Encoder::map(const StringMap& m)
{
    u32(uint32_t(mapSize(m)));
    for (const auto& [key, value] : m) {
        str(key);
        str(value);
    }
}

size_t Encoder::begin(uint8_t opcode)
{
    u8(opcode);
    const size_t at = b_.size();
    u64(0);
    return at;
}

void Encoder::end(size_t lengthAt)
{
    patch64(lengthAt, b_.size() - lengthAt - 8);
}

void Encoder::patch64(size_t at, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        b_[at + i] = uint8_t(v >> (8 * i));
}

void Encoder::patch32(size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b_[at + i] = uint8_t(v >> (8 * i));
}

bool Cursor::need(size_t k)
{
    if (!ok_ || n_ < k) {
        fail();
        return false;
    }
    return true;
}

uint64_t Cursor::le(int bytes)
{
    if (!need(size_t(bytes)))
        return 0;
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= uint64_t(p_[i]) << (8 * i);
    p_ += bytes;
    n_ -= size_t(bytes);
    return v;
}

bool Cursor::take(size_t k, const uint8_t*& data)
{
    if (!need(k))
        return false;
    data = p_;
    p_ += k;
    n_ -= k;
    return true;
}

void Cursor::skip(size_t k)
{
    const uint8_t* unused;
    take(k, unused);
}

std::string Cursor::str()
{
    const uint8_t* p = nullptr;
    size_t n = 0;
    if (!bytes32(p, n))
        return {};
    return std::string(reinterpret_cast<const char*>(p), n);
}

bool Cursor::bytes32(const uint8_t*& data, size_t& size)
{
    const uint32_t n = u32();
    size = n;
    return ok_ && take(n, data);
}

bool Cursor::bytes64(const uint8_t*& data, size_t& size)
{
    const uint64_t n = u64();
    if (!ok_ || n > n_) {
        fail();
        return false;
    }
    size = size_t(n);
    return take(size, data);
}

StringMap Cursor::map()
{
    StringMap m;
    const uint8_t* p = nullptr;
    size_t n = 0;
    if (!bytes32(p, n))
        return m;
    Cursor inner(p, n);
    while (inner.ok() && inner.left() > 0) {
        std::string key = inner.str();
        std::string value = inner.str();
        if (inner.ok())
            m[std::move(key)] = std::move(value);
    }
    if (!inner.ok()) {
        fail();
        m.clear();
    }
    return m;
}

uint32_t crc32(uint32_t crc, const void* data, size_t size)
{
    return uint32_t(::crc32_z(crc, static_cast<const Bytef*>(data), size));
}

Compressor::Compressor(Compression compression, int level) : compression_(compression), level_(level)
{
    if (compression_ == Compression::Zstd)
        zstd_ = ZSTD_createCCtx();
}

Compressor::~Compressor()
{
    ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(zstd_));
}

const char* Compressor::fieldName() const
{
    return compression_ == Compression::None ? "" : compressionName(compression_);
}

bool Compressor::compress(const uint8_t* data, size_t size, std::vector<uint8_t>& out, std::string& error)
{
    const size_t at = out.size();
    switch (compression_) {
    case Compression::None:
        out.insert(out.end(), data, data + size);
        return true;
    case Compression::Zstd: {
        if (!zstd_) {
            error = "zstd could not make a compression context";
            return false;
        }
        out.resize(at + ZSTD_compressBound(size));
        const size_t n = ZSTD_compressCCtx(static_cast<ZSTD_CCtx*>(zstd_), out.data() + at, out.size() - at, data,
                                           size, level_ ? level_ : ZSTD_CLEVEL_DEFAULT);
        if (ZSTD_isError(n)) {
            out.resize(at);
            error = std::string("zstd: ") + ZSTD_getErrorName(n);
            return false;
        }
        out.resize(at + n);
        return true;
    }
    case Compression::Lz4: {
        LZ4F_preferences_t prefs;
        std::memset(&prefs, 0, sizeof prefs);
        prefs.frameInfo.contentSize = size;
        prefs.compressionLevel = level_;
        out.resize(at + LZ4F_compressFrameBound(size, &prefs));
        const size_t n = LZ4F_compressFrame(out.data() + at, out.size() - at, data, size, &prefs);
        if (LZ4F_isError(n)) {
            out.resize(at);
            error = std::string("lz4: ") + LZ4F_getErrorName(n);
            return false;
        }
        out.resize(at + n);
        return true;
    }
    }
    return false;
}

namespace {

bool decompressZstd(const uint8_t* data, size_t size, uint8_t* out, size_t outSize, std::string& error)
{
    ZSTD_DCtx* ctx = ZSTD_createDCtx();
    if (!ctx) {
        error = "zstd could not make a decompression context";
        return false;
    }
    const size_t n = ZSTD_decompressDCtx(ctx, out, outSize, data, size);
    ZSTD_freeDCtx(ctx);
    if (ZSTD_isError(n)) {
        error = std::string("zstd: ") + ZSTD_getErrorName(n);
        return false;
    }
    if (n != outSize) {
        error = "zstd gave " + std::to_string(n) + " bytes instead of " + std::to_string(outSize);
        return false;
    }
    return true;
}

// One or more LZ4 frames, back to back.
bool decompressLz4(const uint8_t* data, size_t size, uint8_t* out, size_t outSize, std::string& error)
{
    LZ4F_dctx* ctx = nullptr;
    if (LZ4F_isError(LZ4F_createDecompressionContext(&ctx, LZ4F_VERSION))) {
        error = "lz4 could not make a decompression context";
        return false;
    }
    size_t in = 0, done = 0, hint = 1;
    bool ok = true;
    while (in < size) {
        size_t inLen = size - in, outLen = outSize - done;
        hint = LZ4F_decompress(ctx, out + done, &outLen, data + in, &inLen, nullptr);
        if (LZ4F_isError(hint)) {
            error = std::string("lz4: ") + LZ4F_getErrorName(hint);
            ok = false;
            break;
        }
        in += inLen;
        done += outLen;
        if (inLen == 0 && outLen == 0) {
            error = "lz4 data longer than the chunk's uncompressed size";
            ok = false;
            break;
        }
    }
    LZ4F_freeDecompressionContext(ctx);
    if (ok && hint != 0) {
        error = "lz4 frame cut short";
        ok = false;
    }
    if (ok && done != outSize) {
        error = "lz4 gave " + std::to_string(done) + " bytes instead of " + std::to_string(outSize);
        ok = false;
    }
    return ok;
}

} // namespace

bool decompress(const std::string& compression, const uint8_t* data, size_t size, uint8_t* out, size_t outSize,
                std::string& error)
{
    if (compression.empty()) {
        if (size != outSize) {
            error = "an uncompressed chunk of " + std::to_string(size) + " bytes claims " + std::to_string(outSize);
            return false;
        }
        if (size > 0)
            std::memcpy(out, data, size);
        return true;
    }
    if (compression == "zstd")
        return decompressZstd(data, size, out, outSize, error);
    if (compression == "lz4")
        return decompressLz4(data, size, out, outSize, error);
    error = "unknown compression \"" + compression + "\"";
    return false;
}

} // namespace detail
} // namespace brovarecording
