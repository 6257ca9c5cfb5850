// The samples' status flags: each frame family with one field set to a rail,
// and to one below it, bytes in, flags out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brovaflags.h"
#include "engine_access.h"
#include "frames.h"

using frames::Bytes;
using A = BrovaEngineAccess;

namespace {

enum Family { Stream3, Stream4Raw, Stream4Vector, Stream6, Data6, Data6Vector, Data6Short, Data7, Data8, Data8Vector };

// Frames with no field at a rail, as 16-bit words (checksums added).
std::vector<int> baseWords(Family f)
{
    std::vector<int> w;
    switch (f) {
    case Stream3:  // x, y, z, aux, s1 ... s8
        return {1, 2, 300, 5, 100, 200, 300, 400, 500, 600, 700, 800};
    case Stream4Raw:  // per channel s1 ... s4, aux
        for (int c = 0; c < 4; ++c)
            w.insert(w.end(), {100 * c + 1, 100 * c + 2, 100 * c + 3, 100 * c + 4, 9});
        return w;
    case Stream4Vector:  // per channel x, y, z, aux
        for (int c = 0; c < 4; ++c)
            w.insert(w.end(), {c + 1, 10 * c, 300 + c, 7});
        return w;
    case Stream6:  // Fx ... Tz, aux x 4, unit u's s1 ... s4
        w = {1, 2, 3, 4, 5, 6, 11, 12, 13, 14};
        for (int u = 0; u < 4; ++u)
            w.insert(w.end(), {10 * u + 1, 10 * u + 2, 10 * u + 3, 10 * u + 4});
        return w;
    case Data6:
    case Data6Vector:
    case Data6Short:  // id, status, x, y, z, s1 ... s4, aux, s5 ... s8
        return {0x1234, 0, 5, 3, 300, 11, 12, 13, 14, 15, 21, 22, 23, 24};
    case Data7:  // 2 words, 4 x (x, y, z), 4 x (s1 ... s4, aux), 4 x (s5 ... s8, aux)
        w = {0, 0};
        for (int c = 0; c < 4; ++c)
            w.insert(w.end(), {c + 1, c + 10, 300 + c});
        for (int c = 0; c < 4; ++c)
            w.insert(w.end(), {100 * c + 1, 100 * c + 2, 100 * c + 3, 100 * c + 4, 9});
        for (int c = 0; c < 4; ++c)
            w.insert(w.end(), {100 * c + 5, 100 * c + 6, 100 * c + 7, 100 * c + 8, 9});
        return w;
    case Data8:
    case Data8Vector:  // 2 words, Fx ... Tz, 4 x (s1 ... s4, aux), 4 x (s5 ... s8, aux)
        w = {0, 0, 1, 2, 3, 4, 5, 6};
        for (int u = 0; u < 4; ++u)
            w.insert(w.end(), {10 * u + 1, 10 * u + 2, 10 * u + 3, 10 * u + 4, 9});
        for (int u = 0; u < 4; ++u)
            w.insert(w.end(), {10 * u + 5, 10 * u + 6, 10 * u + 7, 10 * u + 8, 9});
        return w;
    }
    return w;
}

Bytes frameOf(Family f, const std::vector<int>& words)
{
    Bytes payload;
    for (int w : words)
        frames::putWord(payload, w);
    switch (f) {
    case Stream3:
    case Stream4Raw:
    case Stream4Vector:
    case Stream6: {
        const uint8_t kind = f == Stream3 ? 0x44 : f == Stream6 ? 0x5F : 0x5E;
        Bytes b = {0x37, kind, static_cast<uint8_t>(f == Stream4Vector ? 0xB1 : 0xB0)};
        b.insert(b.end(), payload.begin(), payload.end());
        frames::putSum(b, 2);
        return b;
    }
    case Data6Short:
        payload.resize(10);  // the vector alone
        return frames::addressed(0x0708, payload);
    default:
        return frames::addressed(0x0708, payload);
    }
}

// The flags of one frame of family f with word index set to value.
uint32_t flagsOf(Family f, int index, int value)
{
    std::vector<int> words = baseWords(f);
    if (index >= 0)
        words.at(static_cast<size_t>(index)) = value;
    BrovaDAQ_private e;
    const bool six = f == Stream6 || f == Data8 || f == Data8Vector;
    const brova_version v = f == Data6 || f == Data6Vector || f == Data6Short ? BROVA_FRAMED_3AXIS
                            : f == Data7                                     ? BROVA_FRAMED_4CH
                            : f == Data8 || f == Data8Vector                 ? BROVA_FRAMED_6AXIS
                                                                             : BROVA_NONE;
    A::opened(e, v);
    if (f == Data6Vector || f == Data8Vector)
        A::config(e).setMode(1);
    int n = 0;
    if (six) {
        A::Queue6D q;
        n = A::parse6D(e, frameOf(f, words), q);
    } else {
        A::Queues q;
        n = A::parse(e, frameOf(f, words), q);
    }
    EXPECT_EQ(n, 1);
    EXPECT_EQ(A::flags(e).size(), 1u);
    return A::flags(e).empty() ? 0xFFFFFFFFu : A::flags(e)[0];
}

constexpr uint32_t R = BROVA_FLAG_RAIL, E = BROVA_FLAG_ELEMENT_RAIL, V = BROVA_FLAG_VECTOR_RAIL;
constexpr uint32_t C(int c) { return static_cast<uint32_t>(BROVA_FLAG_CHANNEL_RAIL) << c; }

} // namespace

TEST(SampleFlags, EachRailOfEachFrameFamilyAndOneBelowIt)
{
    const struct {
        const char* name;
        Family family;
        int index;
        int value;  // as the 16-bit word sent
        uint32_t flags;
    } cases[] = {
        {"3-axis clean", Stream3, -1, 0, 0},
        {"3-axis x -32768", Stream3, 0, 0x8000, R | V | C(0)},
        {"3-axis x -32767", Stream3, 0, 0x8001, 0},
        {"3-axis y 32767", Stream3, 1, 0x7FFF, R | V | C(0)},
        {"3-axis y 32766", Stream3, 1, 0x7FFE, 0},
        {"3-axis z 0 (unsigned)", Stream3, 2, 0, R | V | C(0)},
        {"3-axis z 1", Stream3, 2, 1, 0},
        {"3-axis z 65535", Stream3, 2, 0xFFFF, R | V | C(0)},
        {"3-axis z 32767 is no rail of an unsigned z", Stream3, 2, 0x7FFF, 0},
        {"3-axis s1 65535", Stream3, 4, 0xFFFF, R | E | C(0)},
        {"3-axis s1 65534", Stream3, 4, 0xFFFE, 0},
        {"3-axis s8 0", Stream3, 11, 0, R | E | C(0)},
        {"3-axis aux is never flagged", Stream3, 3, 0xFFFF, 0},
        {"4-ch raw channel 2 s2 0", Stream4Raw, 5 * 2 + 1, 0, R | E | C(2)},
        {"4-ch raw channel 2 s2 1", Stream4Raw, 5 * 2 + 1, 1, 0},
        {"4-ch raw channel 3 s4 65535", Stream4Raw, 5 * 3 + 3, 0xFFFF, R | E | C(3)},
        {"4-ch raw aux", Stream4Raw, 5 * 3 + 4, 0xFFFF, 0},
        {"4-ch vector channel 3 y 32767", Stream4Vector, 4 * 3 + 1, 0x7FFF, R | V | C(3)},
        {"4-ch vector channel 1 z 65535", Stream4Vector, 4 * 1 + 2, 0xFFFF, R | V | C(1)},
        {"4-ch vector channel 1 z 65534", Stream4Vector, 4 * 1 + 2, 0xFFFE, 0},
        {"4-ch vector channel 0 x 0 is no rail of a signed x", Stream4Vector, 0, 0, 0},
        {"6-axis Tz 32767", Stream6, 5, 0x7FFF, R | V},
        {"6-axis Tz 32766", Stream6, 5, 0x7FFE, 0},
        {"6-axis Fx -32768", Stream6, 0, 0x8000, R | V},
        {"6-axis unit 3 s4 65535", Stream6, 10 + 4 * 3 + 3, 0xFFFF, R | E | C(3)},
        {"6-axis unit 3 s4 65534", Stream6, 10 + 4 * 3 + 3, 0xFFFE, 0},
        {"6-axis unit 0 s1 0", Stream6, 10, 0, R | E | C(0)},
        {"6-axis aux", Stream6, 6, 0xFFFF, 0},
        {"framed 3-axis raw z 65535", Data6, 4, 0xFFFF, R | V | C(0)},
        {"framed 3-axis raw z 32768", Data6, 4, 0x8000, 0},
        {"framed 3-axis x -32768", Data6, 2, 0x8000, R | V | C(0)},
        {"framed 3-axis s8 0", Data6, 13, 0, R | E | C(0)},
        {"framed 3-axis s8 1", Data6, 13, 1, 0},
        {"framed 3-axis aux", Data6, 9, 0, 0},
        {"framed 3-axis vector mode z -32768", Data6Vector, 4, 0x8000, R | V | C(0)},
        {"framed 3-axis vector mode z -1", Data6Vector, 4, 0xFFFF, 0},
        {"framed 3-axis short frame: readings not carried", Data6Short, -1, 0, 0},
        {"framed 4-ch channel 1 x -32768", Data7, 2 + 3 * 1, 0x8000, R | V | C(1)},
        {"framed 4-ch channel 2 z 0", Data7, 2 + 3 * 2 + 2, 0, R | V | C(2)},
        {"framed 4-ch channel 2 z 1", Data7, 2 + 3 * 2 + 2, 1, 0},
        {"framed 4-ch channel 2 s2 0", Data7, 14 + 5 * 2 + 1, 0, R | E | C(2)},
        {"framed 4-ch channel 3 s8 65535", Data7, 34 + 5 * 3 + 3, 0xFFFF, R | E | C(3)},
        {"framed 4-ch channel 3 s8 65534", Data7, 34 + 5 * 3 + 3, 0xFFFE, 0},
        {"framed 4-ch aux", Data7, 34 + 5 * 3 + 4, 0xFFFF, 0},
        {"framed 6-axis raw Fz 65535", Data8, 4, 0xFFFF, R | V},
        {"framed 6-axis raw Fz 32768", Data8, 4, 0x8000, 0},
        {"framed 6-axis Tz -32768", Data8, 7, 0x8000, R | V},
        {"framed 6-axis unit 1 s6 0", Data8, 28 + 5 * 1 + 1, 0, R | E | C(1)},
        {"framed 6-axis unit 1 s6 1", Data8, 28 + 5 * 1 + 1, 1, 0},
        {"framed 6-axis unit 2 s1 65535", Data8, 8 + 5 * 2, 0xFFFF, R | E | C(2)},
        {"framed 6-axis vector mode Fz 32767", Data8Vector, 4, 0x7FFF, R | V},
        {"framed 6-axis vector mode Fz 65535 (-1)", Data8Vector, 4, 0xFFFF, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(flagsOf(c.family, c.index, c.value), c.flags) << c.name;
}

TEST(SampleFlags, EachFrameKeepsItsOwnWordAcrossASplit)
{
    // Clean, railed, clean; the railed frame split over two parser runs.
    std::vector<int> railed = baseWords(Stream3);
    railed[6] = 0xFFFF;
    const Bytes clean = frameOf(Stream3, baseWords(Stream3)), bad = frameOf(Stream3, railed);
    BrovaDAQ_private e;
    A::opened(e);
    A::Queues q1, q2;
    EXPECT_EQ(A::parse(e, frames::cat({clean, Bytes(bad.begin(), bad.begin() + 9)}), q1), 1);
    EXPECT_EQ(A::flags(e), (std::vector<uint32_t>{0}));
    EXPECT_EQ(A::parse(e, frames::cat({Bytes(bad.begin() + 9, bad.end()), clean}), q2), 2);
    EXPECT_EQ(A::flags(e), (std::vector<uint32_t>{R | E | C(0), 0}));
}
