// Capture files: the bytes a sensor sent, with the time each chunk arrived.
// `brova capture` writes them; `brova-sim --replay` serves them again.
//
// Format (all integers little-endian):
//   8 bytes   the magic text "BRVCAP1\n"
//   one line  a JSON object ending in '\n', describing the capture, e.g.
//             {"port": "/dev/ttyUSB0", "kind": 68, "baud": 1000000,
//              "started": "2026-12-08T10:00:00Z"}
//             ("kind" is the sensor's kind code; readers need only that key)
//   records, until the end of the file, one per chunk read from the port:
//     uint64  microseconds from the start of the capture to the chunk's arrival
//     uint32  n, the chunk's length in bytes
//     n bytes the chunk as it was read
// A record cut short (a capture that was killed) ends the file: readers take
// the records before it.
//
// Header-only, no dependencies beyond the standard library.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace brvsim {

constexpr char kCaptureMagic[] = "BRVCAP1\n";
constexpr std::size_t kCaptureMagicSize = 8;

struct CaptureChunk {
    std::uint64_t micros = 0;  // arrival, from the start of the capture
    std::vector<std::uint8_t> bytes;
};

struct Capture {
    std::string header;  // the JSON line, without its '\n'
    int kind = 0;        // the header's "kind", 0 when absent
    std::vector<CaptureChunk> chunks;
};

// The file's magic and header line; the caller appends records after it.
inline bool writeCaptureHeader(std::FILE* f, const std::string& jsonLine)
{
    return std::fwrite(kCaptureMagic, 1, kCaptureMagicSize, f) == kCaptureMagicSize &&
           std::fputs(jsonLine.c_str(), f) >= 0 && std::fputc('\n', f) != EOF;
}

inline bool writeCaptureChunk(std::FILE* f, std::uint64_t micros, const std::uint8_t* data, std::uint32_t n)
{
    std::uint8_t head[12];
    for (int i = 0; i < 8; ++i)
        head[i] = static_cast<std::uint8_t>(micros >> (8 * i));
    for (int i = 0; i < 4; ++i)
        head[8 + i] = static_cast<std::uint8_t>(n >> (8 * i));
    return std::fwrite(head, 1, sizeof head, f) == sizeof head && std::fwrite(data, 1, n, f) == n;
}

// Reads a whole capture file. False (with error set) when the file cannot be
// read or does not start with the magic and a header line.
inline bool readCapture(const std::string& path, Capture& out, std::string& error)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = "cannot open " + path;
        return false;
    }
    std::vector<std::uint8_t> all;
    std::uint8_t buf[65536];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0)
        all.insert(all.end(), buf, buf + got);
    std::fclose(f);
    if (all.size() < kCaptureMagicSize || std::string(all.begin(), all.begin() + kCaptureMagicSize) != kCaptureMagic) {
        error = path + " is not a capture file (no BRVCAP1 magic)";
        return false;
    }
    std::size_t at = kCaptureMagicSize;
    while (at < all.size() && all[at] != '\n')
        ++at;
    if (at == all.size()) {
        error = path + " has no header line";
        return false;
    }
    out.header.assign(all.begin() + kCaptureMagicSize, all.begin() + at);
    ++at;
    const std::size_t key = out.header.find("\"kind\"");
    if (key != std::string::npos) {
        const std::size_t colon = out.header.find(':', key);
        if (colon != std::string::npos)
            out.kind = std::atoi(out.header.c_str() + colon + 1);
    }
    out.chunks.clear();
    while (at + 12 <= all.size()) {
        std::uint64_t micros = 0;
        std::uint32_t n = 0;
        for (int i = 0; i < 8; ++i)
            micros |= static_cast<std::uint64_t>(all[at + i]) << (8 * i);
        for (int i = 0; i < 4; ++i)
            n |= static_cast<std::uint32_t>(all[at + 8 + i]) << (8 * i);
        if (all.size() - at - 12 < n)
            break;  // cut short
        CaptureChunk c;
        c.micros = micros;
        c.bytes.assign(all.begin() + at + 12, all.begin() + at + 12 + n);
        out.chunks.push_back(std::move(c));
        at += 12 + n;
    }
    return true;
}

}  // namespace brvsim
