// The two stream parsers, bytes in, samples out.
#include <gtest/gtest.h>

#include <QtGlobal>

#include <cstring>
#include <string>

#include "engine_access.h"
#include "frames.h"

using frames::Bytes;
using A = BrovaEngineAccess;

namespace {

// Qt debug lines written while a test runs.
std::vector<std::string> g_messages;
void captureMessages(QtMsgType, const QMessageLogContext&, const QString& text)
{
    g_messages.push_back(text.toStdString());
}
struct CaptureQtMessages {
    CaptureQtMessages() { g_messages.clear(); previous = qInstallMessageHandler(captureMessages); }
    ~CaptureQtMessages() { qInstallMessageHandler(previous); }
    QtMessageHandler previous;
};

// 37 44 B0, X = 1, Y = -1, Z = 32768, aux 5, s1..s8 = 100..800.
Bytes threeAxis(uint8_t config = 0xB0, int x = 1)
{
    return frames::stream(0x44, config, {x, 0xFFFF, 0x8000, 5, 100, 200, 300, 400, 500, 600, 700, 800});
}

// Four channels, raw blocks: channel c reads s = 1000c + 1..4, aux 1000c + 9.
Bytes fourChannelRaw(uint8_t config = 0xB0)
{
    Bytes b = {0x37, 0x5E, config};
    for (int c = 0; c < 4; ++c) {
        for (int k = 1; k <= 4; ++k)
            frames::putWord(b, 1000 * c + k);
        frames::putWord(b, 1000 * c + 9);
    }
    frames::putSum(b, 2);
    return b;
}

// Four channels, vector blocks: x = -(c + 1), y = 10c, z = 40000 + c, aux 7.
Bytes fourChannelVector(uint8_t config = 0xB1)
{
    Bytes b = {0x37, 0x5E, config};
    for (int c = 0; c < 4; ++c) {
        frames::putWord(b, -(c + 1) & 0xFFFF);
        frames::putWord(b, 10 * c);
        frames::putWord(b, 40000 + c);
        frames::putWord(b, 7);
    }
    frames::putSum(b, 2);
    return b;
}

// Six-axis: Fx..Tz = -1, 2, -300, 4, -5, 32767; aux 11..14; unit u s = 100u + k.
Bytes sixAxis(uint8_t config = 0xB0)
{
    Bytes b = {0x37, 0x5F, config};
    for (int w : {0xFFFF, 2, (-300) & 0xFFFF, 4, (-5) & 0xFFFF, 32767})
        frames::putWord(b, w);
    for (int u = 0; u < 4; ++u)
        frames::putWord(b, 11 + u);
    for (int u = 0; u < 4; ++u)
        for (int k = 1; k <= 4; ++k)
            frames::putWord(b, 100 * (u + 1) + k);
    frames::putSum(b, 2);
    return b;
}

// Data frame payloads of the framed family.
Bytes dataV6(int length = 28, int status = 0, int z = 0xFF00)
{
    Bytes p = frames::words({0x1234, status, 0xFFFE, 3, z, 11, 12, 13, 14, 15, 21, 22, 23, 24});
    p.resize(static_cast<size_t>(length));
    return frames::addressed(0x0708, p);
}

Bytes dataV7(int length = 108)
{
    Bytes p = frames::words({0, 0});
    for (int c = 0; c < 4; ++c)
        for (int w : {(-(c + 1)) & 0xFFFF, c + 10, 0xFFF0 + c})
            frames::putWord(p, w);
    for (int c = 0; c < 4; ++c)
        for (int w : {100 * c + 1, 100 * c + 2, 100 * c + 3, 100 * c + 4, 0xDEAD})
            frames::putWord(p, w);
    for (int c = 0; c < 4; ++c)
        for (int w : {100 * c + 5, 100 * c + 6, 100 * c + 7, 100 * c + 8, 50 + c})
            frames::putWord(p, w);
    p.resize(static_cast<size_t>(length));
    return frames::addressed(0x0708, p);
}

Bytes dataV8(int length = 96, int fz = 0xFF00)
{
    Bytes p = frames::words({0, 0, (-10) & 0xFFFF, 20, fz, (-40) & 0xFFFF, 50, (-60) & 0xFFFF});
    for (int u = 0; u < 4; ++u)
        for (int w : {10 * u + 1, 10 * u + 2, 10 * u + 3, 10 * u + 4, 0xBEEF})
            frames::putWord(p, w);
    for (int u = 0; u < 4; ++u)
        for (int w : {10 * u + 5, 10 * u + 6, 10 * u + 7, 10 * u + 8, 90 + u})
            frames::putWord(p, w);
    p.resize(static_cast<size_t>(length));
    return frames::addressed(0x0708, p);
}

Bytes configReply(int speed, int filter, int mode)
{
    return frames::addressed(0x0032, {static_cast<uint8_t>(speed), static_cast<uint8_t>(filter), 0, 0,
                                      static_cast<uint8_t>(mode), 0});
}

// Field by field (a byte compare would look at the padding after config).
bool samePackage(const BrovaPackage& a, const BrovaPackage& b)
{
    return std::memcmp(&a, &b, offsetof(BrovaPackage, config)) == 0 && a.config.value == b.config.value &&
           a.version == b.version;
}

bool same6D(const BrovaPackage6D& a, const BrovaPackage6D& b)
{
    return a.Fx == b.Fx && a.Fy == b.Fy && a.Fz == b.Fz && a.Tx == b.Tx && a.Ty == b.Ty && a.Tz == b.Tz &&
           samePackage(a.sensor1, b.sensor1) && samePackage(a.sensor2, b.sensor2) &&
           samePackage(a.sensor3, b.sensor3) && samePackage(a.sensor4, b.sensor4);
}

} // namespace

TEST(MultiChannelParser, ThreeAxisFrameDecodesWithSignExtension)
{
    BrovaDAQ_private e;
    A::opened(e);
    A::Queues q;
    const Bytes f = threeAxis();
    ASSERT_EQ(f.size(), 29u);
    EXPECT_EQ(A::parse(e, f, q), 1);
    ASSERT_EQ(q[0].size(), 1u);
    const BrovaPackage& p = q[0][0];
    EXPECT_EQ(p.x, 1);
    EXPECT_EQ(p.y, -1);
    EXPECT_EQ(p.z, 32768);
    EXPECT_EQ(p.aux, 5);
    EXPECT_EQ(p.s1, 100);
    EXPECT_EQ(p.s8, 800);
    EXPECT_EQ(p.inconsistent[7], 800);
    EXPECT_EQ(p.x2, 1);  // copied when the (zero) offset is subtracted
    EXPECT_EQ(p.version, BROVA_STREAM_3AXIS);
    EXPECT_EQ(p.config.to_uin8_t(), 0xB0);
    EXPECT_EQ(A::version(e), BROVA_STREAM_3AXIS);
    EXPECT_EQ(A::sensorSize(e), 1);
    EXPECT_TRUE(A::deviceResponded(e));
    EXPECT_EQ(e.getSize(), 29);

    // An all-zero frame has checksum 00 00: the header pair is not summed.
    const Bytes zeros = frames::stream(0x44, 0x00, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(zeros[27], 0);
    EXPECT_EQ(zeros[28], 0);
    A::Queues q2;
    EXPECT_EQ(A::parse(e, frames::cat({zeros, threeAxis(0xA8, 7)}), q2), 2);
    EXPECT_EQ(q2[0][1].x, 7);  // arrival order
    EXPECT_EQ(A::config(e).to_uin8_t(), 0xA8);
}

TEST(MultiChannelParser, EveryFrameKindSplitAtEveryByteGivesTheSameSample)
{
    struct Case {
        const char* name;
        Bytes frame;
        brova_version version;
    };
    const Case cases[] = {
        {"three-axis", threeAxis(), BROVA_NONE},
        {"four-channel raw", fourChannelRaw(), BROVA_NONE},
        {"four-channel vector", fourChannelVector(), BROVA_NONE},
        {"data v6", dataV6(), BROVA_FRAMED_3AXIS},
        {"data v7", dataV7(), BROVA_FRAMED_4CH},
    };
    for (const Case& c : cases) {
        BrovaDAQ_private whole;
        A::opened(whole, c.version);
        A::Queues expected;
        ASSERT_EQ(A::parse(whole, c.frame, expected), 1) << c.name;
        CaptureQtMessages capture;
        for (size_t cut = 1; cut < c.frame.size(); ++cut) {
            // Each half is peeked at before it is taken: a peek must leave
            // the frame where it found it.
            BrovaDAQ_private split;
            A::opened(split, c.version);
            A::Queues first, peeked, second;
            A::deliver(split, Bytes(c.frame.begin(), c.frame.begin() + cut));
            EXPECT_EQ(A::parse(split, {}, first, true), 0) << c.name << " cut " << cut;
            EXPECT_EQ(A::parse(split, {}, first), 0) << c.name << " cut " << cut;
            A::deliver(split, Bytes(c.frame.begin() + cut, c.frame.end()));
            EXPECT_EQ(A::parse(split, {}, peeked, true), 1) << c.name << " cut " << cut;
            EXPECT_EQ(A::parse(split, {}, second), 1) << c.name << " cut " << cut;
            for (int ch = 0; ch < 4; ++ch) {
                ASSERT_EQ(second[ch].size(), expected[ch].size()) << c.name << " cut " << cut;
                if (!second[ch].empty()) {
                    EXPECT_TRUE(samePackage(second[ch][0], expected[ch][0])) << c.name << " cut " << cut << " ch " << ch;
                    EXPECT_TRUE(samePackage(peeked[ch][0], expected[ch][0])) << c.name << " cut " << cut << " ch " << ch;
                }
            }
        }
        EXPECT_TRUE(g_messages.empty()) << c.name;
    }
}

TEST(MultiChannelParser, FourChannelFrames)
{
    BrovaDAQ_private e;
    A::opened(e);
    ASSERT_EQ(fourChannelRaw().size(), 45u);
    ASSERT_EQ(fourChannelVector().size(), 37u);
    A::Queues q;
    EXPECT_EQ(A::parse(e, fourChannelRaw(), q), 1);
    EXPECT_EQ(A::sensorSize(e), 4);
    EXPECT_TRUE(A::virtualSensor(e));
    EXPECT_EQ(A::channels(e), 4);
    for (int c = 0; c < 4; ++c) {
        ASSERT_EQ(q[c].size(), 1u);
        const BrovaPackage& p = q[c][0];
        EXPECT_EQ(p.s1, 1000 * c + 1);
        EXPECT_EQ(p.s4, 1000 * c + 4);
        EXPECT_EQ(p.s5, p.s1);
        EXPECT_EQ(p.s8, p.s4);
        EXPECT_EQ(p.aux, 1000 * c + 9);
        EXPECT_EQ(p.x, p.s1 - p.s3);  // raw mode: vector computed on the host
        EXPECT_EQ(p.y, p.s4 - p.s2);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(p.inconsistent[4 + i], p.inconsistent[i]);
        EXPECT_EQ(p.version, BROVA_STREAM_4CH);
    }

    A::Queues v;
    EXPECT_EQ(A::parse(e, fourChannelVector(), v), 1);
    for (int c = 0; c < 4; ++c) {
        const BrovaPackage& p = v[c][0];
        EXPECT_EQ(p.x, -(c + 1));
        EXPECT_EQ(p.y, 10 * c);
        EXPECT_EQ(p.z, 40000 + c);  // Z is unsigned
        EXPECT_EQ(p.aux, 7);
        EXPECT_EQ(p.s1, 0);
        EXPECT_EQ(p.config.to_uin8_t(), 0xB1);
    }

    // A frame cut off by close and continued after the next open skips the
    // states that set the channels up; its four samples still find their
    // channel entries.
    BrovaDAQ_private r;
    A::opened(r);
    const Bytes f = fourChannelRaw();
    A::Queues before, after;
    A::parse(r, Bytes(f.begin(), f.begin() + 20), before);
    A::reopen(r);
    EXPECT_EQ(A::parse(r, Bytes(f.begin() + 20, f.end()), after), 1);
    EXPECT_EQ(A::channels(r), 4);
    EXPECT_EQ(after[3][0].aux, 3009);

    // A thousand frames later the channel list still has four entries.
    Bytes many;
    const Bytes one = fourChannelRaw();
    for (int i = 0; i < 1000; ++i)
        many.insert(many.end(), one.begin(), one.end());
    A::Queues m;
    EXPECT_EQ(A::parse(e, many, m), 1000);
    EXPECT_EQ(A::channels(e), 4);
}

TEST(MultiChannelParser, ChecksumFailuresAndHunting)
{
    BrovaDAQ_private e;
    A::opened(e);
    CaptureQtMessages capture;

    Bytes bad = threeAxis();
    bad.back() ^= 0x01;
    A::Queues q1;
    EXPECT_EQ(A::parse(e, bad, q1), 0);
    EXPECT_FALSE(A::chksumOK(e));
    EXPECT_FALSE(A::deviceResponded(e));
    ASSERT_EQ(g_messages.size(), 1u);
    EXPECT_EQ(g_messages[0], "Checksum error!");

    // The next good frame sets the flag again and holds none of the bad one.
    A::Queues q2;
    EXPECT_EQ(A::parse(e, threeAxis(0xB0, 9), q2), 1);
    EXPECT_TRUE(A::chksumOK(e));
    EXPECT_EQ(q2[0][0].x, 9);

    // Bad four-channel and addressed checksums: no sample, no line.
    Bytes bad4 = fourChannelRaw();
    bad4[10] ^= 0x40;
    Bytes badA = dataV6();
    badA[6] ^= 0x01;
    A::Queues q3;
    EXPECT_EQ(A::parse(e, bad4, q3), 0);
    EXPECT_FALSE(A::chksumOK(e));
    A::version(e) = BROVA_FRAMED_3AXIS;
    EXPECT_EQ(A::parse(e, badA, q3), 0);
    EXPECT_FALSE(A::chksumOK(e));
    EXPECT_EQ(g_messages.size(), 1u);

    // 37 37 44 ...: the second 37 is taken as an unknown kind byte, so the
    // frame is not seen; hunting goes on after the 44 and finds the next one.
    A::opened(e);
    const Bytes f = threeAxis();
    Bytes junk = {0x37};
    junk.insert(junk.end(), f.begin(), f.end());
    A::Queues q4;
    EXPECT_EQ(A::parse(e, frames::cat({junk, threeAxis(0xB0, 3)}), q4), 1);
    EXPECT_EQ(q4[0][0].x, 3);
}

TEST(MultiChannelParser, AddressedFrameLengthExtremes)
{
    BrovaDAQ_private e;
    A::opened(e, BROVA_FRAMED_3AXIS);
    A::Queues q;
    // Length 0 still takes one payload byte before the checksum.
    Bytes empty = {0xAA, 0x00, 0x0A, 0x00, 0x55};
    frames::putSum(empty, 0);
    EXPECT_EQ(A::parse(e, frames::cat({empty, dataV6()}), q), 1);
    EXPECT_TRUE(A::chksumOK(e));

    // A length above the payload store's 121 bytes is no frame of any kind:
    // it is dropped at its length byte and hunting resumes after its 0xAA,
    // so the good frames behind a stray AA 12 34 FF all count. The register
    // and length bytes are hunted again too: in AA 12 34 AA 07 08 1C ... the
    // length 0xAA drops the first frame and starts the next.
    Bytes good;
    for (int i = 0; i < 12; ++i)
        good = frames::cat({good, dataV6()});
    A::Queues q2;
    EXPECT_EQ(A::parse(e, frames::cat({{0xAA, 0x12, 0x34, 0xFF}, good}), q2), 12);
    EXPECT_EQ(q2[0][11].x, -2);
    A::Queues q3;
    EXPECT_EQ(A::parse(e, frames::cat({{0xAA, 0x12, 0x34}, dataV6()}), q3), 1);
    // The same split across runs and under the six-axis parser.
    BrovaDAQ_private six;
    A::opened(six, BROVA_FRAMED_6AXIS);
    A::Queue6D q6;
    EXPECT_EQ(A::parse6D(six, {0xAA, 0x12}, q6), 0);
    EXPECT_EQ(A::parse6D(six, frames::cat({{0x34, 0xFF}, dataV8(), dataV8()}), q6), 2);
}

TEST(MultiChannelParser, FramedStreamsIgnoreStreamHeadersAndShortFramesReadZeros)
{
    // Under a framed version a 37 44 in the stream is two data bytes: the
    // kind stays the one the identification gave.
    BrovaDAQ_private e;
    A::opened(e, BROVA_FRAMED_4CH);
    A::Queues q;
    EXPECT_EQ(A::parse(e, frames::cat({{0x37, 0x44}, dataV7(), {0x37, 0x5E, 0x37, 0x5F}, dataV7()}), q), 2);
    EXPECT_EQ(A::version(e), BROVA_FRAMED_4CH);
    EXPECT_EQ(A::sensorSize(e), 4);
    EXPECT_TRUE(A::virtualSensor(e));
    BrovaDAQ_private six;
    A::opened(six, BROVA_FRAMED_6AXIS);
    A::Queue6D q6;
    EXPECT_EQ(A::parse6D(six, frames::cat({{0x37, 0x5F}, dataV8()}), q6), 1);
    EXPECT_EQ(A::version(six), BROVA_FRAMED_6AXIS);

    // Bytes beyond a data frame's length read as 0, never as the previous
    // frame's: N = 11 carries s1's high byte and nothing after it.
    BrovaDAQ_private s;
    A::opened(s, BROVA_FRAMED_3AXIS);
    A::Queues q2;
    EXPECT_EQ(A::parse(s, frames::cat({dataV6(), dataV6(11)}), q2), 2);
    const BrovaPackage& p = q2[0][1];
    EXPECT_EQ(p.x, -2);
    EXPECT_EQ(p.s1, 11 & 0xFF00);
    for (int v : {p.s2, p.s3, p.s4, p.s5, p.s6, p.s7, p.s8, p.aux})
        EXPECT_EQ(v, 0);
    A::Queues q3;
    EXPECT_EQ(A::parse(e, dataV7(30), q3), 1);
    EXPECT_EQ(q3[1][0].s1, 0);
    EXPECT_EQ(q3[3][0].aux, 0);
}

TEST(MultiChannelParser, DataFramesShorterThanTheKindsLayoutCountAsMalformed)
{
    // A kind-31 frame (28 payload bytes) read by a four-channel engine, or a
    // six-axis engine, and each kind's own short frame: read, but not good.
    struct Case {
        brova_version v;
        Bytes shortFrame, fullFrame;
    };
    for (const Case& c : {Case{BROVA_FRAMED_3AXIS, dataV6(10), dataV6()}, Case{BROVA_FRAMED_4CH, dataV6(), dataV7()},
                          Case{BROVA_FRAMED_6AXIS, dataV6(), dataV8()}}) {
        BrovaDAQ_private e;
        A::opened(e, c.v);
        A::Queues q;
        A::Queue6D q6;
        const Bytes both = frames::cat({c.shortFrame, c.fullFrame});
        EXPECT_EQ(c.v == BROVA_FRAMED_6AXIS ? A::parse6D(e, both, q6) : A::parse(e, both, q), 2) << c.v;
        EXPECT_EQ(e.getStatistics().framesMalformed, 1u) << c.v;
        EXPECT_EQ(e.getStatistics().framesAccepted, 1u) << c.v;
    }
}

TEST(MultiChannelParser, DataFramesOfVersionsSixAndSeven)
{
    BrovaDAQ_private e;
    A::opened(e, BROVA_FRAMED_3AXIS);
    A::Queues q;
    EXPECT_EQ(A::parse(e, dataV6(), q), 1);
    const BrovaPackage& p = q[0][0];
    EXPECT_EQ(p.x, -2);
    EXPECT_EQ(p.y, 3);
    EXPECT_EQ(p.z, 0xFF00);  // raw-mode configuration: Z unsigned
    EXPECT_EQ(p.x2, -2);
    EXPECT_EQ(p.s1, 11);
    EXPECT_EQ(p.s4, 14);
    EXPECT_EQ(p.aux, 15);
    EXPECT_EQ(p.s5, 21);
    EXPECT_EQ(p.s8, 24);
    EXPECT_EQ(p.version, BROVA_FRAMED_3AXIS);
    EXPECT_EQ(A::sensorSize(e), 1);

    // Vector mode makes Z signed; a short frame carries the vector alone.
    A::config(e).setMode(1);
    A::Queues q2;
    EXPECT_EQ(A::parse(e, dataV6(10), q2), 1);
    EXPECT_EQ(q2[0][0].z, -256);
    EXPECT_EQ(q2[0][0].s1, 0);
    EXPECT_EQ(q2[0][0].aux, 0);

    BrovaDAQ_private e7;
    A::opened(e7, BROVA_FRAMED_4CH);
    A::Queues q7;
    EXPECT_EQ(A::parse(e7, dataV7(), q7), 1);
    EXPECT_EQ(A::sensorSize(e7), 4);
    EXPECT_TRUE(A::virtualSensor(e7));
    EXPECT_EQ(A::channels(e7), 4);
    for (int c = 0; c < 4; ++c) {
        const BrovaPackage& s = q7[c][0];
        EXPECT_EQ(s.x, -(c + 1));
        EXPECT_EQ(s.y, c + 10);
        EXPECT_EQ(s.z, 0xFFF0 + c);
        EXPECT_EQ(s.s1, 100 * c + 1);
        EXPECT_EQ(s.s4, 100 * c + 4);
        EXPECT_EQ(s.s5, 100 * c + 5);
        EXPECT_EQ(s.s8, 100 * c + 8);
        EXPECT_EQ(s.aux, 50 + c);
    }
    A::Queues short7;
    EXPECT_EQ(A::parse(e7, dataV7(28), short7), 1);
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(short7[c][0].x, -(c + 1));
        EXPECT_EQ(short7[c][0].s1, 0);
    }

    // Version 8 belongs to the six-axis parser: only the configuration moves.
    BrovaDAQ_private e8;
    A::opened(e8, BROVA_FRAMED_6AXIS);
    A::Queues q8;
    EXPECT_EQ(A::parse(e8, dataV6(28, 0x4000), q8), 0);
    EXPECT_EQ(A::config(e8).getState(), 6);
}

TEST(MultiChannelParser, StatusWordAndConfigurationReply)
{
    const struct {
        int status;
        int state;
    } cases[] = {{0, 5}, {0x0200, 1}, {0x0100, 2}, {0x0280, 3}, {0x0480, 0}, {0x4000, 6}, {0x4400, 0}, {0x4800, 4}};
    for (const auto& c : cases) {
        BrovaDAQ_private e;
        A::opened(e, BROVA_FRAMED_3AXIS);
        A::config(e).value = 0x1F;  // the other five bits must survive
        A::Queues q;
        EXPECT_EQ(A::parse(e, dataV6(28, c.status), q), 1);
        EXPECT_EQ(A::config(e).getState(), c.state) << std::hex << c.status;
        EXPECT_EQ(A::config(e).value & 0x1F, 0x1F);
        EXPECT_EQ(q[0][0].config.getState(), c.state);
    }

    BrovaDAQ_private e;
    A::opened(e, BROVA_FRAMED_3AXIS);
    A::config(e).value = 0x00;
    A::Queues q;
    EXPECT_EQ(A::parse(e, configReply(10, 3, 1), q), 0);
    EXPECT_EQ(A::config(e).to_uin8_t(), 0xA0 | (2 << 3) | (2 << 1) | 1);
    // Unknown codes keep their own low two bits.
    A::parse(e, configReply(7, 9, 0), q);
    EXPECT_EQ(A::config(e).to_uin8_t(), 0xA0 | (3 << 3) | (1 << 1));

    // A reply split across two runs is still a reply, not a data frame.
    const Bytes r = configReply(1, 4, 0);
    for (size_t cut = 1; cut < r.size(); ++cut) {
        BrovaDAQ_private s;
        A::opened(s, BROVA_FRAMED_3AXIS);
        A::Queues a, b;
        A::parse(s, Bytes(r.begin(), r.begin() + cut), a);
        EXPECT_EQ(A::parse(s, Bytes(r.begin() + cut, r.end()), b), 0) << "cut " << cut;
        EXPECT_EQ(A::config(s).to_uin8_t(), 0xA0 | (0 << 3) | (3 << 1)) << "cut " << cut;
    }

    // Frames of other registers (an identification reply) carry nothing.
    BrovaDAQ_private o;
    A::opened(o, BROVA_FRAMED_3AXIS);
    const uint8_t before = A::config(o).to_uin8_t();
    A::Queues qo;
    Bytes ident(16, 0);
    ident[0] = 31;
    EXPECT_EQ(A::parse(o, frames::addressed(0x000A, ident), qo), 0);
    EXPECT_TRUE(A::chksumOK(o));
    EXPECT_EQ(A::config(o).to_uin8_t(), before);
}

TEST(MultiChannelParser, SixAxisHeaderHandsTheDeviceOver)
{
    BrovaDAQ_private e;
    A::opened(e);
    A::Queues q;
    EXPECT_EQ(A::parse(e, frames::cat({threeAxis(), sixAxis(), threeAxis()}), q), -1);
    EXPECT_EQ(A::version(e), BROVA_STREAM_6AXIS);
    EXPECT_EQ(A::sensorSize(e), 1);
    EXPECT_EQ(q[0].size(), 1u);  // the frame before the header is kept
}

TEST(MultiChannelParser, ReaderOverflowSkipsTheParse)
{
    BrovaDAQ_private e;
    A::opened(e);
    A::Queues q;
    A::deliver(e, Bytes(ReaderThread::bufferCap - 10, 0));
    EXPECT_EQ(A::parse(e, threeAxis(), q), -1);
    EXPECT_TRUE(q[0].empty());
    // The bytes taken were dropped; the next chunk parses normally.
    EXPECT_EQ(A::parse(e, threeAxis(), q), 1);
}

TEST(SixAxisParser, StreamFrames)
{
    BrovaDAQ_private e;
    A::opened(e);
    ASSERT_EQ(sixAxis().size(), 57u);
    A::Queue6D q;
    EXPECT_EQ(A::parse6D(e, sixAxis(0xB2), q), 1);
    const BrovaPackage6D& s = q[0];
    EXPECT_EQ(s.Fx, -1);
    EXPECT_EQ(s.Fy, 2);
    EXPECT_EQ(s.Fz, -300);
    EXPECT_EQ(s.Tx, 4);
    EXPECT_EQ(s.Ty, -5);
    EXPECT_EQ(s.Tz, 32767);
    EXPECT_EQ(s.sensor1.aux, 11);
    EXPECT_EQ(s.sensor4.aux, 14);
    EXPECT_EQ(s.sensor2.s1, 201);
    EXPECT_EQ(s.sensor4.s4, 404);
    EXPECT_EQ(s.sensor4.s8, 404);  // mirrored by the version-5 offset step
    EXPECT_EQ(s.sensor3.inconsistent[0], 301);
    for (const BrovaPackage* u : {&s.sensor1, &s.sensor2, &s.sensor3, &s.sensor4}) {
        EXPECT_EQ(u->version, BROVA_STREAM_6AXIS);
        EXPECT_EQ(u->config.to_uin8_t(), 0xB2);
    }
    EXPECT_EQ(A::version(e), BROVA_STREAM_6AXIS);
    EXPECT_EQ(A::sensorSize(e), 4);
    EXPECT_EQ(A::channels(e), 4);  // per-channel operations find entries 1..3
    EXPECT_TRUE(A::setOffset(e, BrovaPackage(), 3));
    EXPECT_FALSE(e.getOffset(3).isCorrect());

    // After a bad frame the next one holds nothing of it.
    Bytes bad = sixAxis();
    bad[30] = 0x77;
    Bytes good = frames::stream(0x5F, 0xB0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    A::Queue6D q2;
    EXPECT_EQ(A::parse6D(e, frames::cat({bad, good}), q2), 1);
    EXPECT_TRUE(A::chksumOK(e));
    EXPECT_EQ(q2[0].sensor2.s1, 0);

    // Three-axis and four-channel frames produce nothing here.
    A::Queue6D q3;
    const brova_version before = A::version(e);
    EXPECT_EQ(A::parse6D(e, frames::cat({threeAxis(), fourChannelRaw()}), q3), 0);
    EXPECT_EQ(A::version(e), before);
    EXPECT_FALSE(A::virtualSensor(e));

    // Split at every byte, each half peeked at before it is taken.
    const Bytes f = sixAxis(0xB2);
    for (size_t cut = 1; cut < f.size(); ++cut) {
        BrovaDAQ_private s2;
        A::opened(s2);
        A::Queue6D a, b;
        A::deliver(s2, Bytes(f.begin(), f.begin() + cut));
        EXPECT_EQ(A::parse6D(s2, {}, a, true), 0);
        EXPECT_EQ(A::parse6D(s2, {}, a), 0);
        A::deliver(s2, Bytes(f.begin() + cut, f.end()));
        EXPECT_EQ(A::parse6D(s2, {}, a, true), 1) << "cut " << cut;
        EXPECT_EQ(A::parse6D(s2, {}, b), 1) << "cut " << cut;
        ASSERT_EQ(b.size(), 1u);
        EXPECT_TRUE(same6D(b[0], q[0])) << "cut " << cut;
    }
}

TEST(SixAxisParser, DataFramesOfVersionEight)
{
    BrovaDAQ_private e;
    A::opened(e, BROVA_FRAMED_6AXIS);
    A::Queue6D q;
    EXPECT_EQ(A::parse6D(e, dataV8(), q), 1);
    const BrovaPackage6D& s = q[0];
    EXPECT_EQ(s.Fx, -10);
    EXPECT_EQ(s.Fy, 20);
    EXPECT_EQ(s.Fz, 65280);  // raw mode: Fz unsigned
    EXPECT_EQ(s.Tx, -40);
    EXPECT_EQ(s.Tz, -60);
    EXPECT_EQ(s.sensor1.s1, 1);
    EXPECT_EQ(s.sensor4.s4, 34);
    EXPECT_EQ(s.sensor4.s5, 35);
    EXPECT_EQ(s.sensor4.s8, 38);
    EXPECT_EQ(s.sensor3.aux, 92);
    EXPECT_EQ(s.sensor2.x2, 15 - 17);  // second vector from s5..s8 (version 8)
    EXPECT_EQ(A::sensorSize(e), 4);
    EXPECT_EQ(A::channels(e), 4);

    A::config(e).setMode(1);
    A::Queue6D q2;
    EXPECT_EQ(A::parse6D(e, dataV8(16), q2), 1);
    EXPECT_EQ(q2[0].Fz, -256);
    EXPECT_EQ(q2[0].sensor1.s1, 0);
    EXPECT_EQ(q2[0].sensor4.aux, 0);

    const Bytes f = dataV8();
    A::config(e).setMode(0);
    for (size_t cut = 1; cut < f.size(); cut += 7) {
        A::Queue6D a, b;
        A::parse6D(e, Bytes(f.begin(), f.begin() + cut), a);
        EXPECT_EQ(A::parse6D(e, Bytes(f.begin() + cut, f.end()), b), 1) << "cut " << cut;
        EXPECT_TRUE(same6D(b[0], q[0])) << "cut " << cut;
    }
}

TEST(SixAxisParser, ReaderStatusRules)
{
    BrovaDAQ_private e;
    A::opened(e);
    A::Queue6D q;
    // Status 0 (nothing delivered since start): nothing parsed.
    EXPECT_EQ(A::parse6D(e, {}, q), 0);
    EXPECT_EQ(e.getSize(), 0);
    // Status -1 (the reader dropped its oldest bytes): nothing parsed.
    A::deliver(e, Bytes(ReaderThread::bufferCap, 0));
    EXPECT_EQ(A::parse6D(e, sixAxis(), q), -1);
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(A::parse6D(e, sixAxis(), q), 1);

    // Status -4 (the reader went silent and is ending): the bytes it still
    // holds are parsed here, while the multi-channel parser skips them.
    A::Queue6D q2;
    A::deliver(e, sixAxis());
    A::silent(e);
    EXPECT_EQ(A::parse6D(e, {}, q2, true), 1);
    A::Queues q3;
    EXPECT_EQ(A::parse(e, {}, q3), -4);
}

TEST(SixAxisReads, ForceAndTorqueFromFourChannels)
{
    BrovaDAQ_private e;
    BrovaPackage p[4];
    for (BrovaPackage& c : p) {
        c.x = 4;
        c.y = 8;
        c.z = 16;
    }
    BrovaPackage f = A::force(e, p), t = A::torque(e, p);
    EXPECT_EQ(f.x, 4);
    EXPECT_EQ(f.y, 8);
    EXPECT_EQ(f.z, 4);
    EXPECT_EQ(t.x, 0);
    EXPECT_EQ(t.y, 0);
    EXPECT_EQ(t.z, 1);
    EXPECT_FALSE(f.isCorrect());

    for (BrovaPackage& c : p)
        c = BrovaPackage();
    p[0].z = 3;
    EXPECT_EQ(A::torque(e, p).x, 1);  // 1.5 truncated
    p[0].z = -3;
    EXPECT_EQ(A::torque(e, p).x, -1);
    p[0].x = -6;
    EXPECT_EQ(A::force(e, p).x, -1);  // -1.5 toward zero, not -2
}
