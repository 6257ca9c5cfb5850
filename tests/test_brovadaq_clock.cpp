// The clock model on synthetic arrival series, and the engine's stamps of
// parsed frames. Time is simulated here: nothing depends on the machine.
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

constexpr int64_t ms = 1000000;

// A device taking frames of frameBytes at deviceRate (the nominal rate when
// 0) off by ppm, behind a bridge that sends a packet when packetBytes wait
// or timerNs has passed since the first of them, each delivery late by a
// random 0..jitterNs. The host's reader reads each delivery as it comes, in
// chunks of up to 4095 bytes drainNs apart when several wait, but not before
// staleNs after the start (the port's open) nor while the host stalls; the
// engine reads what arrived every readNs, the first time 30 ms after the
// reader's first read (the open's handshake).
struct Link {
    double rate = 1000, deviceRate = 0, ppm = 0;
    int frameBytes = 29, packetBytes = 62;
    int64_t timerNs = 16 * ms, jitterNs = 100000;
    int64_t staleNs = 20 * ms, readNs = 10 * ms, drainNs = 20000;
    int64_t start = 1000000000000;  // some monotonic instant
};

// What happens on the way.
struct Events {
    int pauseAt = -1;  // the device stops: frames from pauseAt on are taken pauseNs later
    int64_t pauseNs = 0;
    int skipEvery = 0;  // the device skips every skipEvery-th of its instants without a word
    int lostFrom = -1, lostTo = -1;  // frames never parsed; the count breaks before lostTo
    int64_t stallAt = -1, stallNs = 0;  // the host stops from start + stallAt for stallNs
};

struct Series {
    std::vector<int64_t> truth, stamps, arrivals;  // of the frames parsed, in order
    std::vector<int> number;                       // their frame numbers
    std::vector<double> rates;                     // the estimated rate once each was stamped
    int64_t floor = INT64_MAX;                     // the least delay of any of them
    double rate = 0;                               // the true rate
};

Series simulate(const Link& l, int count, const Events& ev = {})
{
    std::mt19937_64 random(7);
    std::uniform_int_distribution<int64_t> jitter(0, l.jitterNs);
    Series r;
    r.rate = (l.deviceRate > 0 ? l.deviceRate : l.rate) * (1 + l.ppm * 1e-6);
    const double period = 1e9 / r.rate;
    std::vector<int64_t> truth;
    for (int k = 0; k < count; ++k) {
        const double slot = ev.skipEvery > 0 ? k + k / (ev.skipEvery - 1) : k;
        truth.push_back(l.start + static_cast<int64_t>(slot * period) + (ev.pauseAt >= 0 && k >= ev.pauseAt ? ev.pauseNs : 0));
    }

    // The bridge: bytes of frame k enter at its instant; a packet leaves full
    // or when its timer runs out. A frame arrives with the packet that holds
    // its last byte.
    struct Packet {
        int64_t at;
        int bytes;
        std::vector<int> completes;
    };
    std::vector<Packet> packets;
    Packet filling {0, 0, {}};
    int64_t firstWaiting = 0, lastSent = 0;
    auto send = [&](int64_t at) {
        filling.at = lastSent = std::max(at + jitter(random), lastSent + 1000);
        packets.push_back(filling);
        filling = {0, 0, {}};
    };
    for (int k = 0; k < count; ++k) {
        const int64_t t = truth[static_cast<size_t>(k)];
        if (filling.bytes > 0 && t - firstWaiting >= l.timerNs)
            send(firstWaiting + l.timerNs);
        int bytes = l.frameBytes;
        while (bytes > 0) {
            if (filling.bytes == 0)
                firstWaiting = t;
            const int take = std::min(bytes, l.packetBytes - filling.bytes);
            filling.bytes += take;
            bytes -= take;
            if (bytes == 0)
                filling.completes.push_back(k);
            if (filling.bytes == l.packetBytes)
                send(t);
        }
    }
    if (filling.bytes > 0)
        send(firstWaiting + l.timerNs);

    // The host's reader: chunks, each stamped when read.
    std::vector<int64_t> arrival(static_cast<size_t>(count), 0);
    const int64_t firstRead = l.start + l.staleNs;
    const int64_t stallEnd = l.start + ev.stallAt + ev.stallNs;
    int64_t chunkAt = 0;
    int chunkBytes = 0;
    for (const Packet& p : packets) {
        int64_t host = std::max(p.at, firstRead);
        if (ev.stallAt >= 0 && host >= l.start + ev.stallAt && host < stallEnd)
            host = stallEnd;
        if (host <= chunkAt) {  // waiting with others: read in the same chunk or the next
            if (chunkBytes + p.bytes > 4095) {
                chunkAt += l.drainNs;
                chunkBytes = 0;
            }
        } else {
            chunkAt = host;
            chunkBytes = 0;
        }
        chunkBytes += p.bytes;
        for (int k : p.completes)
            arrival[static_cast<size_t>(k)] = chunkAt;
    }

    // The engine: every read takes what arrived, gives it bounds, stamps it.
    BrovaClockModel model;
    model.reset(l.rate);
    int next = 0;
    for (int64_t read = firstRead + 30 * ms; next < count; read += l.readNs) {
        if (ev.stallAt >= 0 && read >= l.start + ev.stallAt && read < stallEnd)
            continue;
        std::vector<int> batch;
        for (; next < count && arrival[static_cast<size_t>(next)] <= read; ++next)
            if (next < ev.lostFrom || next >= ev.lostTo)
                batch.push_back(next);
        std::vector<int64_t> at, latest(batch.size());
        for (int k : batch)
            at.push_back(arrival[static_cast<size_t>(k)]);
        model.bounds(at.data(), latest.data(), static_cast<int>(batch.size()));
        for (size_t j = 0; j < batch.size(); ++j) {
            const int k = batch[j];
            if (k == ev.lostTo)
                model.breakCount();
            r.stamps.push_back(model.stamp(at[j], latest[j]));
            r.arrivals.push_back(at[j]);
            r.truth.push_back(truth[static_cast<size_t>(k)]);
            r.number.push_back(k);
            r.rates.push_back(model.estimatedRate());
            r.floor = std::min(r.floor, at[j] - truth[static_cast<size_t>(k)]);
        }
    }
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

// The stamps' error over the frames numbered [from, to), less the link's
// floor (the least delay of any arrival, which no host can see): its least
// and greatest value, ms. A stamp on the model is never below the floor.
struct Error {
    double lowMs, highMs;
};
Error error(const Series& r, int from, int to = INT32_MAX)
{
    double lo = 1e18, hi = -1e18;
    for (size_t k = 0; k < r.stamps.size(); ++k) {
        if (r.number[k] < from || r.number[k] >= to)
            continue;
        const double e = static_cast<double>(r.stamps[k] - r.truth[k] - r.floor);
        lo = std::min(lo, e);
        hi = std::max(hi, e);
    }
    return {lo / 1e6, hi / 1e6};
}

// Stamps from the frame numbered from on lie within [floor, floor + 0.25 ms]
// of the truth.
void expectOnTheFloor(const Series& r, int from, int to = INT32_MAX)
{
    const Error e = error(r, from, to);
    EXPECT_GE(e.lowMs, -0.001) << "frames " << from << ".." << to;
    EXPECT_LE(e.highMs, 0.25) << "frames " << from << ".." << to;
}

double ppm(double estimate, double truth)
{
    return (estimate / truth - 1) * 1e6;
}

} // namespace

TEST(ClockModel, BurstsAndDriftFollowTheDeviceClockFromTheFirstFrame)
{
    // A fast and a slow crystal behind a 16 ms and a 1 ms bridge timer, at
    // 1000, 333 and 100 per second: packets fill first, or the timer fires
    // first (every frame waits, and only the jitter about a line is seen).
    // The reader's first read comes 20 ms after the open, with the frames
    // that waited meanwhile; the engine reads every 10 ms.
    for (double drift : {200.0, -200.0}) {
        for (int64_t timer : {16 * ms, 1 * ms}) {
            for (double rate : {1000.0, 333.0, 100.0}) {
                SCOPED_TRACE(testing::Message() << drift << " ppm, timer " << timer / ms << " ms, rate " << rate);
                Link l;
                l.rate = rate;
                l.ppm = drift;
                l.timerNs = timer;
                const Series r = simulate(l, static_cast<int>(rate * 30));
                expectOrdered(r);
                // Behind a 16 ms timer most frames wait a period or two for
                // their packet to fill; only one in 62 lines up with a
                // packet's end, so the floor shows after 62 frames.
                expectOnTheFloor(r, timer == 1 * ms ? 0 : 62);
                EXPECT_NEAR(ppm(r.rates.back(), r.rate), 0, 2);
                // Once given, the rate is within 50 ppm; it is given within 1.5 s.
                const auto given = std::find_if(r.rates.begin(), r.rates.end(), [](double x) { return x > 0; });
                ASSERT_NE(given, r.rates.end());
                EXPECT_LT(given - r.rates.begin(), rate * 1.5);
                for (auto it = given; it != r.rates.end(); ++it)
                    ASSERT_NEAR(ppm(*it, r.rate), 0, 50) << it - r.rates.begin();
            }
        }
    }
}

TEST(ClockModel, AHostStallIsABacklogNotABreak)
{
    // The host stops 3 s in for 0.3 s or 1 s and then reads the backlog at
    // once, or drains it slowly over several of its reads: every frame
    // arrives, so the count holds, and the stamps and the rate stay on the
    // model.
    for (int64_t stall : {300 * ms, 1000 * ms}) {
        for (int64_t drain : {int64_t{20000}, 3 * ms}) {
            for (int64_t timer : {1 * ms, 16 * ms}) {
                SCOPED_TRACE(testing::Message() << "stall " << stall / ms << " ms, drain " << drain << ", timer " << timer);
                Link l;
                l.ppm = 150;
                l.timerNs = timer;
                l.drainNs = drain;
                l.readNs = 1 * ms;
                Events ev;
                ev.stallAt = 3000 * ms;
                ev.stallNs = stall;
                const Series r = simulate(l, 8000, ev);
                expectOrdered(r);
                expectOnTheFloor(r, 62);
                const size_t before = static_cast<size_t>(2990);
                EXPECT_NEAR(ppm(r.rates[before], r.rate), 0, 20);
                for (size_t k = before; k < r.rates.size(); ++k)
                    ASSERT_NEAR(ppm(r.rates[k], r.rates[before]), 0, 20) << k;
            }
        }
    }
}

TEST(ClockModel, ADeviceOffItsConfiguredRateIsFollowed)
{
    // Configured for 1000 per second, the device runs 3 % slow, at half the
    // rate, 1.3 % fast or twice as fast. The rate is 0 until the model can
    // tell, then right; the stamps are on the floor once it is given, and
    // never further before their arrival than a first chunk waits.
    for (double actual : {970.0, 500.0, 1013.0, 2000.0}) {
        for (int64_t timer : {1 * ms, 16 * ms}) {
            SCOPED_TRACE(testing::Message() << actual << " per second, timer " << timer / ms << " ms");
            Link l;
            l.deviceRate = actual;
            l.ppm = -120;
            l.timerNs = timer;
            const Series r = simulate(l, static_cast<int>(actual * 20));
            expectOrdered(r);
            const auto given = std::find_if(r.rates.begin(), r.rates.end(), [](double x) { return x > 0; });
            ASSERT_NE(given, r.rates.end());
            const int from = static_cast<int>(given - r.rates.begin());
            EXPECT_LT(from, actual * 2.5);  // within 2.5 s
            for (auto it = given; it != r.rates.end(); ++it)
                ASSERT_NEAR(ppm(*it, r.rate), 0, 50) << it - r.rates.begin();
            EXPECT_NEAR(ppm(r.rates.back(), r.rate), 0, 5);
            expectOnTheFloor(r, from);
            for (size_t k = 0; k < r.stamps.size(); ++k)
                ASSERT_GE(r.stamps[k], r.arrivals[k] - BrovaClockModel::arrivalAllowanceNs - 1000) << k;
        }
    }
}

TEST(ClockModel, MissingFramesAndPausesAreCountedIn)
{
    Link l;
    l.ppm = 150;
    struct Case {
        const char* what;
        Events ev;
        int settledBy;  // the frame from which stamps are on the floor again
    };
    Case cases[5];
    // The device stops for 0.5 s at frame 5000: its later frames come that
    // much later than the count says.
    cases[0] = {"a pause", {}, 5000 + 500};
    cases[0].ev.pauseAt = 5000;
    cases[0].ev.pauseNs = 500 * ms;
    // A frame missing without a word (a device that skipped a sample).
    cases[1] = {"a skipped frame", {}, 5000 + 500};
    cases[1].ev.pauseAt = 5000;
    cases[1].ev.pauseNs = 1 * ms;
    // A frame that failed its checksum: the count breaks.
    cases[2] = {"a failed frame", {}, 5001};
    cases[2].ev.lostFrom = 5000;
    cases[2].ev.lostTo = 5001;
    // 5 s of bytes dropped at the reader's cap: the count breaks.
    cases[3] = {"bytes dropped at the cap", {}, 8000};
    cases[3].ev.lostFrom = 3000;
    cases[3].ev.lostTo = 8000;
    // A frame in 500 skipped without a word, behind 0.5 ms of jitter, and
    // the host stalled for 40 ms once (a gap, but no pause of the device):
    // each is counted in, the stamps early by at most its period until then.
    cases[4] = {"a frame in 500 skipped", {}, 0};
    cases[4].ev.skipEvery = 500;
    cases[4].ev.stallAt = 4100 * ms;
    cases[4].ev.stallNs = 40 * ms;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Link lc = l;
        if (c.ev.skipEvery > 0) {
            lc.jitterNs = 500000;
            const Series r = simulate(lc, 20000, c.ev);
            expectOrdered(r);
            EXPECT_GE(error(r, 62).lowMs, -1.001);
            EXPECT_NEAR(ppm(r.rates.back(), r.rate), 0, 5);  // 20 s of points 0.5 ms apart at most
            continue;
        }
        const Series r = simulate(lc, 11000, c.ev);
        expectOrdered(r);
        expectOnTheFloor(r, 62, c.ev.pauseAt >= 0 ? c.ev.pauseAt : c.ev.lostFrom);
        if (c.ev.lostTo >= 0) {
            // A known break: no stamp is earlier than its arrival less what
            // a bridge holds, and they are on the floor within 0.3 s.
            const Error e = error(r, c.ev.lostTo);
            EXPECT_GE(e.lowMs, -0.001);
            EXPECT_LE(e.highMs, 16 + 0.2);
        }
        expectOnTheFloor(r, c.settledBy + 300);
        EXPECT_NEAR(ppm(r.rates.back(), r.rate), 0, 2);
    }
}

TEST(ClockModel, ARateChangeStartsAfreshAndStampsStillIncrease)
{
    BrovaClockModel m;
    m.reset(1000);
    int64_t t = 5000000000, last = 0;
    for (int k = 0; k < 3000; ++k, t += 1000000)
        last = m.stamp(t, t);
    EXPECT_NEAR(m.estimatedRate(), 1000, 0.002);
    m.reset(100);
    EXPECT_EQ(m.estimatedRate(), 0);  // not known yet at the new rate
    const int64_t next = m.stamp(last, last);  // an arrival no later than the last stamp
    EXPECT_GT(next, last - 1);
    EXPECT_LE(next, last);
    // A burst held up after a stamp that came late (50 frames in one chunk,
    // 30 ms after it: too many to spread back by the period): its frames
    // share the time since the last stamp, none piled 1 ns apart.
    BrovaClockModel held;
    held.reset(1000);
    int64_t prev = held.stamp(t, t);
    const int64_t late = t + 30000000;
    std::vector<int64_t> arrivals(50, late), latest(50);
    held.bounds(arrivals.data(), latest.data(), 50);
    int64_t least = INT64_MAX;
    for (int j = 0; j < 50; ++j) {
        const int64_t s = held.stamp(late, latest[static_cast<size_t>(j)]);
        least = std::min(least, s - prev);
        prev = s;
    }
    EXPECT_GT(least, 100000);  // about 30 ms / 50
    EXPECT_LE(prev, late);
    // Unknown rate: the bound itself.
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

TEST(EngineStamps, BytesDroppedAtTheCapStartTheStampsAgainFromTheArrivals)
{
    // 1000 frames a second, ten to a chunk that arrives 0.2 ms after the last
    // of them was taken; read every 10 ms for 2 s, then not for 5 s: the
    // reader keeps its last 100000 bytes, and the read after reports the
    // overflow. The frames after it are stamped between their true instant
    // and their arrival, not where the count would put them, 5 s earlier.
    BrovaDAQ_private e;
    A::opened(e, BROVA_STREAM_3AXIS);
    const Bytes frame = frames::stream(0x44, 0xA0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    const int64_t t0 = 1000000000;
    int64_t taken = 0;  // frames taken so far
    auto tenFrames = [&] {
        A::deliver(e, frames::cat({frame, frame, frame, frame, frame, frame, frame, frame, frame, frame}),
                   t0 + (taken + 9) * ms + 200000);
        taken += 10;
    };
    for (int read = 0; read < 200; ++read) {
        tenFrames();
        A::Queues q;
        A::parse(e, {}, q);
    }
    for (int chunk = 0; chunk < 500; ++chunk)
        tenFrames();
    A::Queues lost;
    EXPECT_EQ(A::parse(e, {}, lost), -1);
    for (int read = 0; read < 50; ++read) {
        tenFrames();
        A::Queues q;
        ASSERT_EQ(A::parse(e, {}, q), 10);
        for (int j = 0; j < 10; ++j) {
            const int64_t truth = t0 + (taken - 10 + j) * ms;
            EXPECT_GE(A::stamps(e)[static_cast<size_t>(j)], truth) << read << " " << j;
            EXPECT_LE(A::stamps(e)[static_cast<size_t>(j)], A::arrivals(e)[static_cast<size_t>(j)]);
        }
    }
}
