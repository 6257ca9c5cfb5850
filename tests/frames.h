// Frame builders for the parser tests, written from the wire-format tables
// (independent of the library's parser).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace frames {

using Bytes = std::vector<uint8_t>;

inline void putWord(Bytes& b, int w)
{
    b.push_back(static_cast<uint8_t>((w >> 8) & 0xFF));
    b.push_back(static_cast<uint8_t>(w & 0xFF));
}

inline void putSum(Bytes& b, size_t from)
{
    unsigned sum = 0;
    for (size_t i = from; i < b.size(); ++i)
        sum += b[i];
    putWord(b, static_cast<int>(sum & 0xFFFF));
}

// Stream frame: 37, kind, configuration byte, 16-bit words, checksum summed
// from the configuration byte on.
inline Bytes stream(uint8_t kind, uint8_t config, std::initializer_list<int> words)
{
    Bytes b = {0x37, kind, config};
    for (int w : words)
        putWord(b, w);
    putSum(b, 2);
    return b;
}

// Addressed frame: AA, register, length, payload, checksum of all before it.
inline Bytes addressed(uint16_t reg, const Bytes& payload, int lengthByte = -1)
{
    Bytes b = {0xAA, static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg & 0xFF),
               static_cast<uint8_t>(lengthByte >= 0 ? lengthByte : static_cast<int>(payload.size()))};
    b.insert(b.end(), payload.begin(), payload.end());
    putSum(b, 0);
    return b;
}

inline Bytes words(std::initializer_list<int> ws)
{
    Bytes b;
    for (int w : ws)
        putWord(b, w);
    return b;
}

inline Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes b;
    for (const Bytes& p : parts)
        b.insert(b.end(), p.begin(), p.end());
    return b;
}

} // namespace frames
