// The device clock, the USB-serial bridge, jitter and dropped frames, checked
// through the send log's instants and the reads of a plain POSIX host, never
// against the machine's own pace.
#include "brvsim.h"
#include "host_side.h"

#include <gtest/gtest.h>

#include <cmath>

using brvsim::Bytes;
using Fate = brvsim::Device::Fate;
using namespace std::chrono_literals;

namespace {

std::int64_t ns(std::chrono::steady_clock::duration d) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
}

// A three-axis stream device (29-byte frames, frame number in aux) with its
// send log on, shaped by `setUp` before it starts, and a host on its port.
struct Timed {
    template <class SetUp>
    Timed(double rate, SetUp setUp) : dev(68) {
        dev.setRate(rate);
        dev.setAuxSequence(true);
        dev.setSendLog(true);
        setUp(dev);
        EXPECT_TRUE(dev.start());
        port = std::make_unique<host::RawPort>(dev.portName());
        EXPECT_TRUE(port->ok());
    }
    // Reads until n frames are in; every read's size goes to `chunks`.
    Bytes read(std::size_t n, std::vector<std::size_t>* chunks = nullptr) {
        return port->readUntil([n](const Bytes& b) { return b.size() >= 29 * n; }, 5s, chunks);
    }
    // Stops the device (so every frame has its fate) and takes the log.
    std::vector<brvsim::Device::Sent> log() {
        dev.stop();
        return dev.sendLog();
    }
    brvsim::Device dev;
    std::unique_ptr<host::RawPort> port;
};

// The stream positions at which the host's reads ended.
std::vector<std::size_t> readEnds(const std::vector<std::size_t>& chunks) {
    std::vector<std::size_t> ends;
    std::size_t pos = 0;
    for (auto c : chunks) ends.push_back(pos += c);
    return ends;
}

}  // namespace

TEST(Timing, ClockPpmGivesAnExactScheduleAndTheLogFollowsTheFrames) {
    for (double ppm : {200.0, -150.0}) {
        SCOPED_TRACE(ppm);
        Timed t(1000, [ppm](brvsim::Device& d) { d.setClockPpm(ppm); });
        const auto split = host::splitFrames(t.read(200));
        const auto log = t.log();
        ASSERT_GE(split.frames.size(), 200u);
        ASSERT_GE(log.size(), split.frames.size());

        // Frame k of a run is taken at t0 + k * period to the nanosecond; a
        // new run begins only where the serving thread fell over 100 ms behind.
        const double period = 1e9 / (1000.0 * (1.0 + ppm * 1e-6));
        std::size_t run = 0;
        for (std::size_t k = 1; k < log.size(); ++k) {
            const std::int64_t gap = ns(log[k].taken - log[k - 1].taken);
            ASSERT_GT(gap, 0) << k;
            EXPECT_EQ(static_cast<std::uint16_t>(log[k].number - log[k - 1].number), 1) << k;
            if (gap > 100'000'000) {
                run = k;
                continue;
            }
            const auto expected = std::llround(static_cast<double>(k - run) * period);
            EXPECT_NEAR(ns(log[k].taken - log[run].taken), expected, 1) << k;
        }
        // The host read the logged frames, in order, each written after it was taken.
        for (std::size_t i = 0; i < split.frames.size(); ++i) {
            EXPECT_EQ(host::u16(split.frames[i].bytes, 9), log[i].number) << i;
            EXPECT_EQ(log[i].fate, Fate::Sent);
            EXPECT_GE(log[i].at, log[i].taken);
        }
    }
}

TEST(Timing, BridgeWritesFullPacketsOrPartialOnesAfterTheTimer) {
    {
        // 1000 frames/s of 29 bytes fill a 62-byte packet long before a 50 ms
        // timer: every write is one whole packet, so reads end on packet ends.
        Timed t(1000, [](brvsim::Device& d) { d.setBridge(62, 50ms); });
        std::vector<std::size_t> chunks;
        t.read(30, &chunks);
        ASSERT_FALSE(chunks.empty());
        for (auto end : readEnds(chunks)) EXPECT_EQ(end % 62, 0u) << end;
    }
    // 100 frames/s with a 16 ms timer: a frame waits in the bridge, the next
    // one joins it 10 ms later, and the 58 bytes go out when the first has
    // waited 16 ms; the next frame starts a new packet.
    Timed t(100, [](brvsim::Device& d) { d.setBridge(62, 16ms); });
    std::vector<std::size_t> chunks;
    t.read(8, &chunks);
    const auto log = t.log();
    for (auto end : readEnds(chunks)) EXPECT_EQ(end % 58, 0u) << end;
    ASSERT_GE(log.size(), 8u);
    for (std::size_t k = 0; k + 1 < 8; k += 2) {
        EXPECT_EQ(log[k].at, log[k + 1].at) << k;
        EXPECT_GE(ns(log[k].at - log[k].taken), 16'000'000) << k;
        if (k + 2 < 8) {
            EXPECT_GT(log[k + 2].at, log[k + 1].at) << k;
        }
    }
}

TEST(Timing, JitterKeepsOrderAndTheLogTellsDroppedAndCorruptFrames) {
    Timed t(1000, [](brvsim::Device& d) {
        d.setJitter(3ms, 7);
        d.dropEvery(4);
        d.corruptNextFrames(1);
    });
    const auto split = host::splitFrames(t.read(60));
    const auto log = t.log();
    ASSERT_GE(split.frames.size(), 60u);
    EXPECT_EQ(split.junk, 0u);

    // The host reads every frame but the dropped ones, in order.
    std::vector<const brvsim::Device::Sent*> written;
    std::int64_t longest = 0;
    for (std::size_t k = 0; k < log.size(); ++k) {
        const auto& s = log[k];
        if (k > 0) {
            EXPECT_GT(s.taken, log[k - 1].taken);
        }
        if (s.number % 4 == 0) {
            EXPECT_EQ(s.fate, Fate::Dropped) << s.number;
            EXPECT_EQ(s.at, std::chrono::steady_clock::time_point{});
            continue;
        }
        if (s.fate == Fate::Lost) continue;  // still on its way at the stop
        EXPECT_EQ(s.fate, s.number == 1 ? Fate::Corrupted : Fate::Sent) << s.number;
        EXPECT_GE(s.at, s.taken);
        if (!written.empty()) {
            EXPECT_GE(s.at, written.back()->at);
        }
        longest = std::max(longest, ns(s.at - s.taken));
        written.push_back(&s);
    }
    ASSERT_GE(written.size(), split.frames.size());
    for (std::size_t i = 0; i < split.frames.size(); ++i) {
        EXPECT_EQ(host::u16(split.frames[i].bytes, 9), written[i]->number) << i;
        EXPECT_EQ(split.frames[i].checksumOk, written[i]->fate == Fate::Sent) << i;
    }
    // Up to 3 ms of delay drawn for each of 45 writes: some exceed 1.5 ms.
    EXPECT_GT(longest, 1'500'000);
}
