// The simulated devices over a real pty, seen by a plain POSIX host.
#include "brvsim.h"
#include "host_side.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <thread>

using brvsim::Bytes;
using host::s16;
using host::u16;
using namespace std::chrono_literals;

namespace {

// Starts a device at a fast rate and opens a host on it.
struct Bench {
    explicit Bench(int kind, double rate = 1000) : dev(kind) {
        dev.setRate(rate);
        EXPECT_TRUE(dev.start());
        port = std::make_unique<host::RawPort>(dev.portName());
        EXPECT_TRUE(port->ok());
        EXPECT_TRUE(dev.waitForHostOpens(1, 2s));
    }
    brvsim::Device dev;
    std::unique_ptr<host::RawPort> port;
};

// Waits for the reply frame of register `reg` and returns it; all frames seen
// on the way must be whole and good.
host::Frame awaitReply(host::RawPort& port, int reg) {
    return host::replyIn(port.readUntil(host::holdsRegister(reg), 2s), reg);
}

}  // namespace

TEST(Device, StreamingFramesCarryTheLoad) {
    for (int kind : {68, 94, 95}) {
        SCOPED_TRACE(kind);
        brvsim::Device dev(kind);
        for (int c = 0; c < brvsim::channelCount(kind); ++c) {
            ASSERT_TRUE(dev.setLoad(c, {-3 + 10 * c, 5 - c, 20000 + c}));
            dev.setAux(c, static_cast<std::uint16_t>(0x100 + c));
        }
        ASSERT_TRUE(dev.setLoad6({-1, 2, -3, 4, -5, 6}));
        dev.setRate(1000);
        ASSERT_TRUE(dev.start());
        host::RawPort port(dev.portName());
        const auto split = port.readFrames(3);
        ASSERT_GE(split.frames.size(), 3u);
        EXPECT_EQ(split.junk, 0u);
        for (const auto& f : split.frames) {
            ASSERT_TRUE(f.checksumOk);
            const Bytes& b = f.bytes;
            EXPECT_EQ(b[2], 0xB0);
            if (kind == 68) {
                ASSERT_EQ(b.size(), 29u);
                EXPECT_EQ(s16(b, 3), -3);
                EXPECT_EQ(s16(b, 5), 5);
                EXPECT_EQ(u16(b, 7), 20000);
                EXPECT_EQ(u16(b, 9), 0x100);
                const auto v1 = host::fromReadings(u16(b, 11), u16(b, 13), u16(b, 15), u16(b, 17));
                const auto v2 = host::fromReadings(u16(b, 19), u16(b, 21), u16(b, 23), u16(b, 25));
                EXPECT_EQ(v1.x, -3);
                EXPECT_EQ(v1.y, 5);
                EXPECT_EQ(v1.z, 20000);
                EXPECT_EQ(v2.x, -3);
            } else if (kind == 94) {
                ASSERT_EQ(b.size(), 45u);
                for (std::size_t c = 0; c < 4; ++c) {
                    const std::size_t o = 3 + 10 * c;
                    const auto v = host::fromReadings(u16(b, o), u16(b, o + 2), u16(b, o + 4), u16(b, o + 6));
                    EXPECT_EQ(v.x, -3 + 10 * static_cast<int>(c));
                    EXPECT_EQ(v.y, 5 - static_cast<int>(c));
                    EXPECT_EQ(v.z, 20000 + static_cast<int>(c));
                    EXPECT_EQ(u16(b, o + 8), 0x100 + static_cast<int>(c));
                }
            } else {
                ASSERT_EQ(b.size(), 57u);
                const int ft[6] = {-1, 2, -3, 4, -5, 6};
                for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(s16(b, 3 + 2 * i), ft[i]);
                EXPECT_EQ(u16(b, 15 + 6), 0x103);  // aux of unit 4
                const auto v = host::fromReadings(u16(b, 47), u16(b, 49), u16(b, 51), u16(b, 53));  // unit 4
                EXPECT_EQ(v.x, 27);
                EXPECT_EQ(v.z, 20003);
            }
        }
    }
}

TEST(Device, StreamingTakesTheConfigurationByte) {
    Bench t(94);
    ASSERT_TRUE(t.dev.setLoad(2, {-7, 8, 30000}));
    ASSERT_TRUE(t.port->write({0xA1}));  // 1000 per second, no filter, vector mode
    ASSERT_TRUE(t.dev.waitForBytes(1, 2s));
    EXPECT_EQ(t.dev.configByte(), 0xA1);
    t.dev.setRate(0);  // by the configuration now
    EXPECT_EQ(t.dev.currentRate(), 1000);
    // Frames already queued may still be raw; the later ones are vector frames.
    const auto b = t.port->readUntil([](const Bytes& all) {
        const auto s = host::splitFrames(all);
        return !s.frames.empty() && s.frames.back().bytes[2] == 0xA1;
    }, 2s);
    const auto split = host::splitFrames(b);
    ASSERT_FALSE(split.frames.empty());
    const Bytes& f = split.frames.back().bytes;
    ASSERT_EQ(f.size(), 37u);
    EXPECT_TRUE(split.frames.back().checksumOk);
    EXPECT_EQ(s16(f, 3 + 16), -7);
    EXPECT_EQ(s16(f, 5 + 16), 8);
    EXPECT_EQ(u16(f, 7 + 16), 30000);
    EXPECT_EQ(t.dev.received(), (Bytes{0xA1}));
}

TEST(Device, FramedRequestsReadAndWriteRegisters) {
    Bench t(34);
    // Split write: speed code 1, filter code 4, in three pieces.
    const Bytes w = brvsim::encodeWriteRequest(50, {1, 4});
    ASSERT_TRUE(t.port->write(Bytes(w.begin(), w.begin() + 2)));
    std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(t.port->write(Bytes(w.begin() + 2, w.begin() + 5)));
    std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(t.port->write(Bytes(w.begin() + 5, w.end())));
    // A bad checksum is ignored; so is an unknown speed code.
    Bytes bad = brvsim::encodeWriteRequest(51, {2});
    bad.back() ^= 0x10;
    ASSERT_TRUE(t.port->write(bad));
    ASSERT_TRUE(t.port->write(brvsim::encodeWriteRequest(50, {7})));
    ASSERT_TRUE(t.port->write({0xAA, 0x00, 0x37, 0x01, 0x0A, 0x00, 0xEC}));
    ASSERT_TRUE(t.port->write({0xAB, 0x00, 0x32, 0x06, 0x00, 0xE3}));

    const host::Frame reply = awaitReply(*t.port, 0x32);
    EXPECT_EQ(reply.payload, (Bytes{1, 4, 0, 0, 0, 10}));
    EXPECT_EQ(t.dev.registerValue(50), 1);
    EXPECT_EQ(t.dev.registerValue(51), 4);
    EXPECT_EQ(t.dev.registerValue(55), 10);
    EXPECT_EQ(t.dev.requestsRejected(), 1u);
    t.dev.setRate(0);
    EXPECT_EQ(t.dev.currentRate(), 1000);  // speed code 1
    EXPECT_EQ(t.dev.configByte(), 0xA6);   // state 5, 1000/s, 15 Hz, raw

    // Every byte received, in order.
    Bytes expect = w;
    for (const Bytes& b : {bad, brvsim::encodeWriteRequest(50, {7}), Bytes{0xAA, 0x00, 0x37, 0x01, 0x0A, 0x00, 0xEC},
                           Bytes{0xAB, 0x00, 0x32, 0x06, 0x00, 0xE3}})
        expect.insert(expect.end(), b.begin(), b.end());
    EXPECT_EQ(t.dev.received(), expect);

    t.dev.setIdentText("XY12345");
    ASSERT_TRUE(t.port->write({0xAB, 0x00, 0x0A, 0x10, 0x00, 0xC5}));
    const host::Frame id = awaitReply(*t.port, 0x0A);
    ASSERT_EQ(id.bytes.size(), 22u);
    EXPECT_EQ(id.payload[0], 34);
    EXPECT_EQ(std::string(id.payload.begin() + 8, id.payload.begin() + 15), "XY12345");
    t.dev.answerAs(64);
    ASSERT_TRUE(t.port->write({0xAB, 0x00, 0x0A, 0x10, 0x00, 0xC5}));
    EXPECT_EQ(awaitReply(*t.port, 0x0A).payload[0], 64);
}

TEST(Device, FramedDataFramesByVersion) {
    for (int kind : {31, 34, 64}) {
        SCOPED_TRACE(kind);
        brvsim::Device dev(kind);
        for (int c = 0; c < brvsim::channelCount(kind); ++c) {
            ASSERT_TRUE(dev.setLoad(c, {11 + c, -12 - c, 40000 + c}));
            dev.setAux(c, static_cast<std::uint16_t>(500 + c));
        }
        ASSERT_TRUE(dev.setLoad6({100, -200, 300, -400, 500, -600}));
        dev.setStatusWord(0x0480);
        dev.setRegister(brvsim::kRegMode, 1);
        dev.setRate(1000);
        ASSERT_TRUE(dev.start());
        host::RawPort port(dev.portName());
        const auto split = port.readFrames(2);
        ASSERT_GE(split.frames.size(), 2u);
        const auto& f = split.frames[1];
        ASSERT_TRUE(f.checksumOk);
        EXPECT_EQ(f.reg, 0x0708);
        EXPECT_EQ(u16(f.payload, 0), (u16(split.frames[0].payload, 0) + 1) & 0xFFFF);  // frame counter
        EXPECT_EQ(u16(f.payload, 2), 0x0480);
        const Bytes& p = f.payload;
        if (kind == 31) {
            ASSERT_EQ(p.size(), 28u);
            EXPECT_EQ(s16(p, 4), 11);
            EXPECT_EQ(s16(p, 6), -12);
            EXPECT_EQ(s16(p, 8), 40000 - 65536);  // vector mode: Z read as signed
            const auto v = host::fromReadings(u16(p, 10), u16(p, 12), u16(p, 14), u16(p, 16));
            EXPECT_EQ(v.x, 11);
            EXPECT_EQ(v.y, -12);
            EXPECT_EQ(v.z, 40000);
            EXPECT_EQ(u16(p, 18), 500);
            EXPECT_EQ(u16(p, 20), u16(p, 10));  // s5 = s1
        } else if (kind == 34) {
            ASSERT_EQ(p.size(), 108u);
            for (std::size_t c = 0; c < 4; ++c) {
                const int ci = static_cast<int>(c);
                EXPECT_EQ(s16(p, 4 + 6 * c), 11 + ci);
                EXPECT_EQ(s16(p, 6 + 6 * c), -12 - ci);
                const std::size_t r = 68 + 10 * c;
                const auto v = host::fromReadings(u16(p, r), u16(p, r + 2), u16(p, r + 4), u16(p, r + 6));
                EXPECT_EQ(v.x, 11 + ci);
                EXPECT_EQ(v.z, 40000 + ci);
                EXPECT_EQ(u16(p, r + 8), 500 + ci);
            }
        } else {
            ASSERT_EQ(p.size(), 96u);
            const int ft[6] = {100, -200, 300, -400, 500, -600};
            for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(s16(p, 4 + 2 * i), ft[i]);
            const auto v = host::fromReadings(u16(p, 16 + 30), u16(p, 18 + 30), u16(p, 20 + 30), u16(p, 22 + 30));
            EXPECT_EQ(v.y, -15);  // unit 4
            EXPECT_EQ(u16(p, 56 + 30 + 8), 503);
        }
    }
}

TEST(Device, NoiseIsDeterministicPerSeed) {
    auto collect = [](std::uint32_t seed) {
        brvsim::Device dev(68);
        EXPECT_TRUE(dev.setLoad(0, {0, 0, 30000}));
        dev.setNoise(50, seed);
        dev.setRate(1000);
        EXPECT_TRUE(dev.start());
        host::RawPort port(dev.portName());
        std::vector<int> xs;
        for (const auto& f : port.readFrames(5).frames) xs.push_back(s16(f.bytes, 3));
        xs.resize(5);
        return xs;
    };
    const auto a = collect(7), b = collect(7), c = collect(8);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    for (int x : a) EXPECT_LE(std::abs(x), 50);
}

TEST(Device, ReopenKeepsStateAndDropsOldFrames) {
    Bench t(31);
    ASSERT_TRUE(t.port->write(brvsim::encodeWriteRequest(51, {3})));
    ASSERT_TRUE(t.dev.waitForBytes(7, 2s));
    t.port->readFrames(3);
    t.port->close();
    // Frames made before the close carried load 0; none may reach the next host.
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (t.dev.hostOpen() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_FALSE(t.dev.hostOpen());
    std::this_thread::sleep_for(20ms);  // a device writing on now would leave frames of load 0
    ASSERT_TRUE(t.dev.setLoad(0, {1, 2, 3}));
    host::RawPort again(t.dev.portName());
    // A request written at once after the open is answered too.
    ASSERT_TRUE(again.write(brvsim::encodeReadRequest(50, 6)));
    const auto split = host::splitFrames(again.readUntil([](const Bytes& b) {
        const auto s = host::splitFrames(b);
        return s.frames.size() >= 2 && std::any_of(s.frames.begin(), s.frames.end(), [](const host::Frame& f) { return f.reg == 0x32; });
    }, 2s));
    ASSERT_GE(split.frames.size(), 2u);
    for (const auto& f : split.frames) {
        if (f.reg == 0x708) {
            EXPECT_EQ(s16(f.payload, 4), 1);  // no frame of the old load
        } else {
            EXPECT_EQ(f.payload[1], 3);  // the reply: register 51 kept
        }
    }
    EXPECT_TRUE(std::any_of(split.frames.begin(), split.frames.end(), [](const host::Frame& f) { return f.reg == 0x32; }));
    EXPECT_EQ(t.dev.hostOpens(), 2);
}

TEST(Device, ChecksumCorruptionRawBytesAndAnswerAs) {
    Bench t(68);
    t.port->readFrames(1);
    t.dev.corruptNextFrames(2);
    t.dev.sendRaw({0x12, 0x37, 0x37});
    // Read on until two bad frames and three good ones after them have come.
    auto twoBadThenGood = [](const Bytes& b) {
        int bad = 0, after = 0;
        for (const auto& f : host::splitFrames(b).frames) {
            if (!f.checksumOk) ++bad, after = 0;
            else ++after;
        }
        return bad >= 2 && after >= 3;
    };
    auto split = host::splitFrames(t.port->readUntil(twoBadThenGood, 2s));
    int bad = 0;
    for (const auto& f : split.frames) {
        EXPECT_EQ(f.bytes.size(), 29u);
        if (!f.checksumOk) {
            ++bad;
            // Only the low checksum byte differs from the right sum.
            unsigned sum = 0;
            for (std::size_t k = 2; k < 27; ++k) sum += f.bytes[k];
            EXPECT_EQ(f.bytes[27], (sum >> 8) & 0xFF);
            EXPECT_EQ(f.bytes[28], (~sum) & 0xFF);
        }
    }
    EXPECT_EQ(bad, 2);
    // The raw bytes sit between two frames, never inside one: 12, 37 37 are
    // junk to the splitter and every frame is whole.
    EXPECT_EQ(split.junk, 3u);
    EXPECT_TRUE(split.rest.empty() || split.rest[0] == 0x37);

    t.dev.answerAs(95);
    split = host::splitFrames(t.port->readUntil([](const Bytes& b) {
        const auto s = host::splitFrames(b);
        return !s.frames.empty() && s.frames.back().bytes[1] == 0x5F;
    }, 2s));
    ASSERT_FALSE(split.frames.empty());
    EXPECT_EQ(split.frames.back().bytes.size(), 57u);
    EXPECT_TRUE(split.frames.back().checksumOk);
}

TEST(Device, SplitAndByteByByteFrames) {
    Bench t(68, 20);
    t.port->readFrames(1);
    t.dev.splitNextFrames({5, 11}, 3, 20ms);
    std::vector<std::size_t> chunks;
    auto all = t.port->readUntil([](const Bytes& b) { return host::splitFrames(b).frames.size() >= 3; }, 5s, &chunks);
    auto split = host::splitFrames(all);
    ASSERT_EQ(split.frames.size(), 3u);
    for (const auto& f : split.frames) EXPECT_TRUE(f.checksumOk);
    // Reads end only at piece ends (0, 5, 11 or 29 within a frame), and at
    // least one read ends inside a frame.
    std::size_t pos = 0;
    bool inner = false;
    for (auto c : chunks) {
        pos += c;
        const std::size_t in = pos % 29;
        EXPECT_TRUE(in == 0 || in == 5 || in == 11) << in;
        inner = inner || in != 0;
    }
    EXPECT_TRUE(inner);

    // One frame byte by byte: the next frame emitted; one whole frame may
    // still come before it.
    t.dev.byteByByteNextFrames(1, 2ms);
    chunks.clear();
    all = t.port->readUntil([](const Bytes& b) { return host::splitFrames(b).frames.size() >= 2; }, 5s, &chunks);
    split = host::splitFrames(all);
    ASSERT_GE(split.frames.size(), 2u);
    for (const auto& f : split.frames) EXPECT_TRUE(f.checksumOk);
    EXPECT_GT(chunks.size(), 10u);
}

TEST(Device, SilenceNotAnsweringAndHangUp) {
    Bench t(64);
    t.port->readFrames(1);
    t.dev.silence(5s);
    std::this_thread::sleep_for(10ms);
    const auto before = t.dev.framesSent();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(t.dev.framesSent(), before);
    t.dev.silence(0ms);
    t.port->readFrames(2);  // drain the frame that may have been in flight
    EXPECT_GT(t.dev.framesSent(), before);

    t.dev.setAnswering(false);
    ASSERT_TRUE(t.port->write(brvsim::encodeWriteRequest(50, {33})));
    ASSERT_TRUE(t.port->write(brvsim::encodeReadRequest(50, 6)));
    ASSERT_TRUE(t.dev.waitForBytes(13, 2s));
    const auto quiet = host::splitFrames(t.port->readUntil([](const Bytes&) { return false; }, 150ms));
    for (const auto& f : quiet.frames) EXPECT_EQ(f.reg, 0x0708);
    EXPECT_EQ(t.dev.registerValue(50), 10);
    t.dev.setAnswering(true);
    ASSERT_TRUE(t.port->write(brvsim::encodeReadRequest(50, 6)));
    EXPECT_EQ(awaitReply(*t.port, 0x32).payload[0], 10);

    const std::string path = t.dev.portName();
    t.dev.hangUp();
    EXPECT_FALSE(t.dev.running());
    struct stat st;
    EXPECT_NE(::stat(path.c_str(), &st), 0);
    t.port->readUntil([](const Bytes&) { return false; }, 1s);
    EXPECT_TRUE(t.port->hungUp());
}
