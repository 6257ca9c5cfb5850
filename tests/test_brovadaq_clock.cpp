// The clock model on synthetic arrival series, and the engine's stamps of
// parsed frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "engine_access.h"
#include "frames.h"

using A = BrovaEngineAccess;
using frames::Bytes;

namespace {

// A device taking frames of frameBytes at rate * (1 + ppm 1e-6) behind a
// bridge that sends a packet when packetBytes wait or timerNs has passed
// since the first of them, each delivery late by a random 0..jitterNs.
struct Link {
    double rate = 1000, ppm = 0;
    int frameBytes = 29, packetBytes = 62;
    int64_t timerNs = 16000000, jitterNs = 100000;
    int64_t start = 1000000000000;  // some monotonic instant
};

struct Series {
    std::vector<int64_t> truth, stamps, arrivals;
    double rate = 0;
};

// Frames [0, count) through the link into a model; pause: frames from
// pauseAt on are taken pauseNs later (the device stopped for a while).
Series simulate(const Link& l, int count, int pauseAt = -1, int64_t pauseNs = 0, int breakAt = -1)
{
    std::mt19937_64 random(7);
    std::uniform_int_distribution<int64_t> jitter(0, l.jitterNs);
    const double period = 1e9 / (l.rate * (1 + l.ppm * 1e-6));
    Series r;
    for (int k = 0; k < count; ++k)
        r.truth.push_back(l.start + static_cast<int64_t>(k * period) + (pauseAt >= 0 && k >= pauseAt ? pauseNs : 0));
    // The bridge: bytes of frame k enter at its instant; a packet leaves full
    // or when its timer runs out. A frame arrives with the packet that holds
    // its last byte.
    std::vector<int64_t> arrival(static_cast<size_t>(count));
    int waiting = 0;
    int64_t firstWaiting = 0;
    std::vector<int> inPacket;  // frames completed in the packet being filled
    int64_t lastSent = 0;
    auto send = [&](int64_t at) {
        at = std::max(at + jitter(random), lastSent + 1000);
        lastSent = at;
        for (int k : inPacket)
            arrival[static_cast<size_t>(k)] = at;
        inPacket.clear();
        waiting = 0;
    };
    for (int k = 0; k < count; ++k) {
        const int64_t t = r.truth[static_cast<size_t>(k)];
        if (waiting > 0 && t - firstWaiting >= l.timerNs)
            send(firstWaiting + l.timerNs);
        int bytes = l.frameBytes;
        while (bytes > 0) {
            if (waiting == 0)
                firstWaiting = t;
            const int take = std::min(bytes, l.packetBytes - waiting);
            waiting += take;
            bytes -= take;
            if (bytes == 0)
                inPacket.push_back(k);
            if (waiting == l.packetBytes)
                send(t);
        }
    }
    if (waiting > 0)
        send(firstWaiting + l.timerNs);

    BrovaClockModel model;
    model.reset(l.rate);
    for (int k = 0; k < count;) {
        int end = k;
        while (end < count && arrival[static_cast<size_t>(end)] == arrival[static_cast<size_t>(k)])
            ++end;
        for (int j = k; j < end; ++j) {
            if (j == breakAt)
                model.breakCount();
            const int64_t h = arrival[static_cast<size_t>(j)];
            r.stamps.push_back(model.stamp(h, h - (end - j - 1)));
            r.arrivals.push_back(h);
        }
        k = end;
    }
    r.rate = model.estimatedRate();
    return r;
}

// Every stamp after the first increases, none is later than its arrival.
void expectOrdered(const Series& r)
{
    for (size_t k = 0; k < r.stamps.size(); ++k) {
        ASSERT_LE(r.stamps[k], r.arrivals[k]) << k;
        if (k > 0) {
            ASSERT_GT(r.stamps[k], r.stamps[k - 1]) << k;
        }
    }
}

// The stamps' error against the truth over [from, to): its spread (the
// constant floor of the delay is invisible to any host), and its largest size.
struct Error {
    double spreadMs, maxMs;
};
Error error(const Series& r, size_t from, size_t to)
{
    double lo = 1e18, hi = -1e18;
    for (size_t k = from; k < to; ++k) {
        const double e = static_cast<double>(r.stamps[k] - r.truth[k]);
        lo = std::min(lo, e);
        hi = std::max(hi, e);
    }
    return {(hi - lo) / 1e6, std::max(std::abs(lo), std::abs(hi)) / 1e6};
}

} // namespace

TEST(ClockModel, BurstsAndDriftFollowTheDeviceClock)
{
    // A fast and a slow crystal behind a 16 ms and a 1 ms bridge timer, at
    // 1000 per second (packets fill first) and 100 per second (the timer
    // fires first: every frame waits, and only the jitter about a line is
    // seen).
    for (double ppm : {200.0, -200.0}) {
        for (int64_t timer : {16000000, 1000000}) {
            for (double rate : {1000.0, 100.0}) {
                Link l;
                l.rate = rate;
                l.ppm = ppm;
                l.timerNs = timer;
                const int count = static_cast<int>(rate * 30);
                const Series r = simulate(l, count);
                expectOrdered(r);
                const Error e = error(r, static_cast<size_t>(rate * 2), r.stamps.size());
                EXPECT_LT(e.spreadMs, 0.3) << ppm << " ppm, timer " << timer << ", rate " << rate;
                EXPECT_NEAR(r.rate / (rate * (1 + ppm * 1e-6)) - 1, 0, 20e-6) << ppm << " ppm, rate " << rate;
                if (rate == 1000 && timer == 16000000) {
                    // Packets fill before the timer: some frames arrive at
                    // once, so the floor is near 0 and the error itself is
                    // small, while plain arrivals are off by up to a packet.
                    EXPECT_LT(e.maxMs, 1.0) << ppm << " ppm";
                    EXPECT_GT(error(Series{r.truth, r.arrivals, r.arrivals, 0}, 0, r.stamps.size()).spreadMs, 0.9);
                }
            }
        }
    }
}

TEST(ClockModel, APauseOrABrokenCountReanchors)
{
    Link l;
    l.ppm = 150;
    // The device stops for 0.5 s at frame 5000: its later frames are taken
    // later than the count says. Without a new anchor the stamps would stay
    // 0.5 s early.
    const Series paused = simulate(l, 10000, 5000, 500000000);
    expectOrdered(paused);
    EXPECT_LT(error(paused, 5000 + 500, 10000).spreadMs, 0.3);
    EXPECT_NEAR(paused.rate / (1000 * (1 + 150e-6)) - 1, 0, 20e-6);
    // One frame missing without a word (a device that skipped a sample): the
    // count is put right by the frames that follow, and the rate stays.
    const Series skipped = simulate(l, 10000, 5000, 1000000);
    expectOrdered(skipped);
    EXPECT_LT(error(skipped, 5000 + 500, 10000).spreadMs, 0.3);
    EXPECT_NEAR(skipped.rate / (1000 * (1 + 150e-6)) - 1, 0, 20e-6);
    // A frame lost to a checksum failure: the count breaks, the model
    // re-anchors on the frames that follow.
    const Series broken = simulate(l, 10000, 5000, 1000000, 5000);
    expectOrdered(broken);
    EXPECT_LT(error(broken, 5000 + 500, 10000).spreadMs, 0.3);
    EXPECT_NEAR(broken.rate / (1000 * (1 + 150e-6)) - 1, 0, 20e-6);
}

TEST(ClockModel, ARateChangeStartsAfreshAndStampsStillIncrease)
{
    BrovaClockModel m;
    m.reset(1000);
    int64_t t = 5000000000, last = 0;
    for (int k = 0; k < 3000; ++k, t += 1000000)
        last = m.stamp(t, t);
    EXPECT_NEAR(m.estimatedRate(), 1000, 0.05);
    m.reset(100);
    EXPECT_EQ(m.estimatedRate(), 0);  // not known yet at the new rate
    const int64_t next = m.stamp(last, last);  // an arrival no later than the last stamp
    EXPECT_GT(next, last - 1);
    EXPECT_LE(next, last);
    // A burst held up during warm-up (50 frames in one chunk, 30 ms after the
    // last: too many to spread back by the period): its frames share the time
    // since the last stamp, none piled 1 ns apart.
    BrovaClockModel held;
    held.reset(1000);
    int64_t prev = held.stamp(t, t);
    const int64_t late = t + 30000000;
    int64_t least = INT64_MAX;
    for (int j = 0; j < 50; ++j) {
        const int64_t s = held.stamp(late, late - (49 - j));
        least = std::min(least, s - prev);
        prev = s;
    }
    EXPECT_GT(least, 100000);  // about 30 ms / 50 (the last ones a period apart)
    EXPECT_LE(prev, late);
    // Unknown rate: the arrival bound itself.
    BrovaClockModel none;
    none.reset(0);
    EXPECT_EQ(none.stamp(100, 90), 90);
    EXPECT_EQ(none.stamp(100, 100), 100);
}

TEST(EngineStamps, FramesOfOneChunkShareItsArrivalAndAPeekMovesNothing)
{
    BrovaDAQ_private e;
    A::opened(e, BROVA_STREAM_3AXIS);
    const Bytes frame = frames::stream(0x44, 0xB0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});  // 100 per second
    int64_t t = 1000000000;
    std::vector<int64_t> consumed;
    for (int chunk = 0; chunk < 60; ++chunk, t += 30000000) {
        // Three frames a chunk, the last one split into the next chunk.
        const Bytes three = frames::cat({frame, frame, frame});
        const Bytes head(three.begin(), three.end() - 5), tail(frame.end() - 5, frame.end());
        A::deliver(e, chunk == 0 ? head : frames::cat({tail, head}), t);
        A::Queues peeked, taken;
        A::parse(e, {}, peeked, true);
        const std::vector<int64_t> first = A::stamps(e);
        A::parse(e, {}, taken, false);
        EXPECT_EQ(A::stamps(e), first) << chunk;  // the peek left the model where it was
        EXPECT_EQ(A::stamps(e).size(), taken[0].size());
        for (int64_t s : A::stamps(e)) {
            EXPECT_LE(s, t);
            if (!consumed.empty()) {
                EXPECT_GT(s, consumed.back());
            }
            consumed.push_back(s);
        }
    }
    EXPECT_EQ(consumed.size(), 59u * 3 + 2);
    // Once warm, the frames of a chunk are a period apart, not piled on its arrival.
    const size_t k = consumed.size() - 2;
    EXPECT_NEAR((consumed[k + 1] - consumed[k]) / 1e6, 10.0, 0.5);
}
