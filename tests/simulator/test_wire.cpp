// Encoders, load mapping and request parser against byte strings written out
// from the wire-format tables, decoded with the tests' own decoder.
#include "brvsim_wire.h"
#include "host_side.h"

#include <gtest/gtest.h>

using brvsim::Bytes;
using host::s16;
using host::u16;

TEST(Wire, RequestsMatchTheFixedFrames) {
    EXPECT_EQ(brvsim::encodeReadRequest(50, 6), (Bytes{0xAB, 0x00, 0x32, 0x06, 0x00, 0xE3}));
    EXPECT_EQ(brvsim::encodeReadRequest(10, 16), (Bytes{0xAB, 0x00, 0x0A, 0x10, 0x00, 0xC5}));
    EXPECT_EQ(brvsim::encodeWriteRequest(55, {10}), (Bytes{0xAA, 0x00, 0x37, 0x01, 0x0A, 0x00, 0xEC}));
    EXPECT_EQ(brvsim::encodeWriteRequest(55, {0}), (Bytes{0xAA, 0x00, 0x37, 0x01, 0x00, 0x00, 0xE2}));
    EXPECT_EQ(brvsim::encodeWriteRequest(50, {10}), (Bytes{0xAA, 0x00, 0x32, 0x01, 0x0A, 0x00, 0xE7}));
    EXPECT_EQ(brvsim::encodeWriteRequest(50, {10, 0}), (Bytes{0xAA, 0x00, 0x32, 0x02, 0x0A, 0x00, 0x00, 0xE8}));
    EXPECT_EQ(brvsim::encodeWriteRequest(50, {1, 4}), (Bytes{0xAA, 0x00, 0x32, 0x02, 0x01, 0x04, 0x00, 0xE3}));
    // A register above 255 goes out high byte first.
    EXPECT_EQ(brvsim::encodeReadRequest(0x0708, 1), (Bytes{0xAB, 0x07, 0x08, 0x01, 0x00, 0xBB}));
}

TEST(Wire, ChecksumWrapsModulo65536) {
    const Bytes ff(300, 0xFF);  // 300 * 255 = 76500 = 0x12AD4
    EXPECT_EQ(brvsim::checksum16(ff), 0x2AD4);
    // An addressed frame whose sum wraps: AA FF FF FF + 255 x FF = 65960 → 0x01A8.
    const Bytes f = brvsim::encodeAddressed(0xFFFF, Bytes(255, 0xFF));
    ASSERT_EQ(f.size(), 255u + 6);
    EXPECT_EQ(u16(f, 259), 0x01A8);
    const auto split = host::splitFrames(f);
    ASSERT_EQ(split.frames.size(), 1u);
    EXPECT_TRUE(split.frames[0].checksumOk);
}

TEST(Wire, ThreeAxisFrame) {
    brvsim::Frame3Axis f;
    f.config = 0xB0;
    f.x = 1;
    f.y = -1;
    f.z = 32768;
    f.aux = 5;
    f.s = {100, 200, 300, 400, 500, 600, 700, 0xFEDC};
    const Bytes b = brvsim::encode3Axis(f);
    ASSERT_EQ(b.size(), 29u);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 11), (Bytes{0x37, 0x44, 0xB0, 0x00, 0x01, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0x05}));
    const auto split = host::splitFrames(b);
    ASSERT_EQ(split.frames.size(), 1u);
    ASSERT_TRUE(split.frames[0].checksumOk);
    EXPECT_EQ(s16(b, 3), 1);
    EXPECT_EQ(s16(b, 5), -1);
    EXPECT_EQ(u16(b, 7), 32768);
    EXPECT_EQ(u16(b, 9), 5);
    EXPECT_EQ(u16(b, 11), 100);
    EXPECT_EQ(u16(b, 25), 0xFEDC);

    // The header pair is not summed: an all-zero body sums to 00 00 under any kind byte.
    brvsim::Frame3Axis zero;
    zero.config = 0;
    for (std::uint8_t kind : {0x44, 0x5E}) {
        const Bytes z = brvsim::encode3Axis(zero, kind);
        EXPECT_EQ(z[1], kind);
        EXPECT_EQ(u16(z, 27), 0);
    }
}

TEST(Wire, FourChannelFrameRawAndVector) {
    brvsim::Frame4Channel f;
    for (int c = 0; c < 4; ++c) {
        auto& ch = f.ch[static_cast<std::size_t>(c)];
        ch.s = {1000 + c, 2000 + c, 3000 + c, 4000 + c};
        ch.x = -10 - c;
        ch.y = 20 + c;
        ch.z = 40000 + c;
        ch.aux = 7 + c;
    }
    f.config = 0xB0;
    const Bytes raw = brvsim::encode4Channel(f);
    ASSERT_EQ(raw.size(), 45u);
    f.config = 0xB1;
    const Bytes vec = brvsim::encode4Channel(f);
    ASSERT_EQ(vec.size(), 37u);
    for (const Bytes* b : {&raw, &vec}) {
        const auto split = host::splitFrames(*b);
        ASSERT_EQ(split.frames.size(), 1u);
        EXPECT_TRUE(split.frames[0].checksumOk);
    }
    for (int c = 0; c < 4; ++c) {
        const std::size_t r = 3 + 10 * static_cast<std::size_t>(c), v = 3 + 8 * static_cast<std::size_t>(c);
        EXPECT_EQ(u16(raw, r), 1000 + c);
        EXPECT_EQ(u16(raw, r + 6), 4000 + c);
        EXPECT_EQ(u16(raw, r + 8), 7 + c);
        EXPECT_EQ(s16(vec, v), -10 - c);
        EXPECT_EQ(s16(vec, v + 2), 20 + c);
        EXPECT_EQ(u16(vec, v + 4), 40000 + c);
        EXPECT_EQ(u16(vec, v + 6), 7 + c);
    }
}

TEST(Wire, SixAxisFrame) {
    brvsim::Frame6Axis f;
    f.ft = {-1, 2, -300, 400, -32768, 32767};
    f.aux = {11, 12, 13, 14};
    for (int u = 0; u < 4; ++u)
        for (int k = 0; k < 4; ++k) f.s[static_cast<std::size_t>(u)][static_cast<std::size_t>(k)] = 100 * u + k + 60000;
    const Bytes b = brvsim::encode6Axis(f);
    ASSERT_EQ(b.size(), 57u);
    const auto split = host::splitFrames(b);
    ASSERT_EQ(split.frames.size(), 1u);
    EXPECT_TRUE(split.frames[0].checksumOk);
    const int ft[6] = {-1, 2, -300, 400, -32768, 32767};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(s16(b, 3 + 2 * static_cast<std::size_t>(i)), ft[i]);
    EXPECT_EQ(u16(b, 15), 11);
    EXPECT_EQ(u16(b, 21), 14);
    EXPECT_EQ(u16(b, 23), 60000);         // unit 1 s1
    EXPECT_EQ(u16(b, 23 + 8 * 3 + 6), 60303);  // unit 4 s4
}

TEST(Wire, AddressedFramesAndDataPayloads) {
    const Bytes a = brvsim::encodeAddressed(0x0708, Bytes{1, 2, 3});
    EXPECT_EQ(a, (Bytes{0xAA, 0x07, 0x08, 0x03, 1, 2, 3, 0x00, 0xC2}));

    brvsim::UnitData u;
    u.x = -2;
    u.y = 3;
    u.z = 0xF000;
    u.s = {10, 11, 12, 13, 14, 15, 16, 17};
    u.aux = 99;
    const Bytes v6 = brvsim::encodeDataPayloadV6(0x0280, u, 0x1234);
    ASSERT_EQ(v6.size(), 28u);
    EXPECT_EQ(u16(v6, 0), 0x1234);
    EXPECT_EQ(u16(v6, 2), 0x0280);
    EXPECT_EQ(s16(v6, 4), -2);
    EXPECT_EQ(s16(v6, 6), 3);
    EXPECT_EQ(u16(v6, 8), 0xF000);  // the host reads it as -4096 in vector mode
    EXPECT_EQ(s16(v6, 8), -4096);
    EXPECT_EQ(u16(v6, 10), 10);
    EXPECT_EQ(u16(v6, 16), 13);
    EXPECT_EQ(u16(v6, 18), 99);
    EXPECT_EQ(u16(v6, 20), 14);
    EXPECT_EQ(u16(v6, 26), 17);
    EXPECT_EQ(brvsim::encodeAddressed(0x0708, v6).size(), 28u + 6);

    std::array<brvsim::UnitData, 4> ch;
    for (int c = 0; c < 4; ++c) {
        auto& x = ch[static_cast<std::size_t>(c)];
        x.x = -100 - c;
        x.y = 100 + c;
        x.z = 1000 + c;
        for (int k = 0; k < 8; ++k) x.s[static_cast<std::size_t>(k)] = 10000 + 100 * c + k;
        x.aux = 50 + c;
    }
    const Bytes v7 = brvsim::encodeDataPayloadV7(0, ch);
    ASSERT_EQ(v7.size(), 108u);
    for (std::size_t c = 0; c < 4; ++c) {
        const int ci = static_cast<int>(c);
        EXPECT_EQ(s16(v7, 4 + 6 * c), -100 - ci);
        EXPECT_EQ(s16(v7, 6 + 6 * c), 100 + ci);
        EXPECT_EQ(u16(v7, 8 + 6 * c), 1000 + ci);
        EXPECT_EQ(u16(v7, 28 + 10 * c), 10000 + 100 * ci);      // s1
        EXPECT_EQ(u16(v7, 28 + 10 * c + 6), 10003 + 100 * ci);  // s4
        EXPECT_EQ(u16(v7, 68 + 10 * c), 10004 + 100 * ci);      // s5
        EXPECT_EQ(u16(v7, 68 + 10 * c + 8), 50 + ci);           // aux
    }

    const Bytes v8 = brvsim::encodeDataPayloadV8(0x4400, {1, -2, -3, 4, -5, 6}, ch);
    ASSERT_EQ(v8.size(), 96u);
    EXPECT_EQ(u16(v8, 2), 0x4400);
    const int ft[6] = {1, -2, -3, 4, -5, 6};
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(s16(v8, 4 + 2 * i), ft[i]);
    for (std::size_t c = 0; c < 4; ++c) {
        const int ci = static_cast<int>(c);
        EXPECT_EQ(u16(v8, 16 + 10 * c), 10000 + 100 * ci);
        EXPECT_EQ(u16(v8, 56 + 10 * c + 6), 10007 + 100 * ci);  // s8
        EXPECT_EQ(u16(v8, 56 + 10 * c + 8), 50 + ci);
    }

    const Bytes id = brvsim::encodeIdentBlock(34, "ABC1234XYZ");
    ASSERT_EQ(id.size(), 16u);
    EXPECT_EQ(id[0], 34);
    EXPECT_EQ(std::string(id.begin() + 8, id.begin() + 15), "ABC1234");
    EXPECT_EQ(id[15], 0);
}

TEST(Wire, LoadMapsExactlyToElementReadings) {
    const brvsim::Load3 loads[] = {{0, 0, 32768}, {1, -1, 100}, {-3, 5, 7}, {-7, -9, 1000},
                                   {32767, -32768, 32768}, {2, 3, 0x7FFF}, {0, 0, 0}};
    for (const auto& l : loads) {
        ASSERT_TRUE(brvsim::loadFitsReadings(l)) << l.fx << "," << l.fy << "," << l.fz;
        const auto s = brvsim::elementReadings(l);
        for (int v : s) {
            EXPECT_GE(v, 0);
            EXPECT_LE(v, 65535);
        }
        const auto h = host::fromReadings(s[0], s[1], s[2], s[3]);
        EXPECT_EQ(h.x, l.fx);
        EXPECT_EQ(h.y, l.fy);
        EXPECT_EQ(h.z, l.fz) << l.fx << "," << l.fy << "," << l.fz;
    }
    EXPECT_FALSE(brvsim::loadFitsReadings({100, 0, 10}));     // s3 would be negative
    EXPECT_FALSE(brvsim::loadFitsReadings({0, 2, 65535}));    // s4 would pass 65535
    EXPECT_FALSE(brvsim::loadFitsReadings({0, 0, -1}));
}

TEST(Wire, RequestParserTakesSplitRequestsAndDropsBadOnes) {
    Bytes stream{0x00, 0x37};  // noise before the first request
    const Bytes r1 = brvsim::encodeReadRequest(50, 6);
    const Bytes bad0 = brvsim::encodeWriteRequest(50, {1, 4});
    Bytes bad = bad0;
    bad.back() ^= 0x01;
    const Bytes r2 = brvsim::encodeWriteRequest(50, {1, 4});
    const Bytes r3 = brvsim::encodeWriteRequest(0x37, {});
    for (const Bytes* r : {&r1, static_cast<const Bytes*>(&bad), &r2, &r3}) stream.insert(stream.end(), r->begin(), r->end());

    brvsim::RequestParser p;
    std::vector<brvsim::Request> got;
    for (auto byte : stream)
        if (auto rq = p.feed(byte)) got.push_back(*rq);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].type, brvsim::Request::Type::Read);
    EXPECT_EQ(got[0].reg, 50);
    EXPECT_EQ(got[0].count, 6);
    EXPECT_EQ(got[1].type, brvsim::Request::Type::Write);
    EXPECT_EQ(got[1].data, (Bytes{1, 4}));
    EXPECT_EQ(got[2].reg, 0x37);
    EXPECT_TRUE(got[2].data.empty());
    EXPECT_EQ(p.rejected(), 1u);
    EXPECT_EQ(p.skipped(), 2u);
}
