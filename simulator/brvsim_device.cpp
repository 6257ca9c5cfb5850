#include "brvsim.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace brvsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxPendingOut = 32 * 1024;            // beyond this, data frames are dropped
constexpr auto kClosedPollInterval = std::chrono::milliseconds(1);  // open detection while no host
constexpr auto kMaxCatchUp = std::chrono::milliseconds(100);       // later than this: restart the schedule
constexpr auto kBlockingWriteLimit = std::chrono::milliseconds(200);

std::int32_t clampSigned16(std::int64_t v) { return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, -32768, 32767)); }
std::int32_t clampUnsigned16(std::int64_t v) { return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, 0, 65535)); }

void setRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &t);
}

void drainWakeUnlocked(int fd) {
    std::uint64_t v;
    [[maybe_unused]] ssize_t r = ::read(fd, &v, sizeof v);
}

double threadCpuSeconds(clockid_t id) {
    timespec ts{};
    if (clock_gettime(id, &ts) != 0) return 0.0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

struct Device::Impl {
    explicit Impl(int k) : kind(k), wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        regs[kRegSpeed] = 10;
        writeIdentBlock();
    }
    ~Impl() {
        if (wakeFd >= 0) ::close(wakeFd);
    }

    const int kind;

    // Everything below up to the thread section is guarded by m.
    mutable std::mutex m;
    mutable std::condition_variable cv;
    std::uint8_t config = 0xB0;
    std::array<std::uint8_t, 256> regs{};
    std::string ident = "SIM0001";
    double rateOverride = 0.0;
    std::array<Load3, 4> load{};
    Load6 load6{};
    // Physical loads: a channel with forceOn (the six-axis load with
    // wrenchOn) sends the counts of its force through the calibration
    // instead of its load in counts.
    Calibration cal = makeCalibration(1);
    std::array<bool, 4> forceOn{};
    std::array<Force3, 4> force{};
    bool wrenchOn = false;
    Wrench wrench{};
    std::array<std::uint16_t, 4> aux{};
    int noiseAmp = 0;
    int saturateAt = 0;  // 0: off
    std::mt19937 rng{1};
    std::uint16_t status = 0;
    int answerAsKind = 0;
    bool auxSequence = false;
    std::uint16_t frameNumber = 0;  // of the data frame being built, for auxSequence
    std::chrono::milliseconds replyDelay{0};
    std::vector<CaptureChunk> replay;  // set before start(), then read by the serving thread only
    std::size_t replayPos = 0;
    bool sendLogOn = false;
    std::vector<Device::Sent> sent;  // guarded by m
    double clockPpm = 0.0;
    std::size_t bridgePacket = 0;
    std::chrono::microseconds bridgeLatency{16000};
    std::chrono::microseconds jitterMax{0};
    std::mt19937_64 jitterRng{1};
    int dropEveryN = 0, dropPhase = 0, dropNext = 0;
    Clock::time_point replayStart{};
    std::deque<std::pair<Clock::time_point, Bytes>> delayedReplies;
    bool answering = true;
    bool parserReset = false;
    int corrupt = 0;
    std::deque<Bytes> rawQueue;
    std::vector<std::size_t> splitOffsets;
    bool splitBytes = false;
    int splitFrames = 0;
    std::chrono::microseconds splitPause{0};
    Clock::time_point silentUntil{};
    std::uint16_t seq = 0;
    Bytes rx;
    std::uint64_t framesSent = 0, repliesSent = 0, dropped = 0, rejected = 0;
    int hostOpens = 0;
    bool hostOpen = false;
    double lastCpu = 0.0;

    // Thread section: start/stop/cpu queries are serialised by life.
    mutable std::mutex life;
    std::thread th;
    std::atomic<bool> stopReq{false};
    int master = -1;
    const int wakeFd;  // wakes the serving thread; lives as long as the device
    std::string slave;  // guarded by m

    // Serving thread only.
    RequestParser parser;
    Bytes outq;
    std::size_t outPos = 0;
    bool open = false;

    // The link from the device to the pty (serving thread only). Every byte
    // the device sends enters it (emittedBytes counts them) and leaves it by
    // a write to the pty (writtenBytes). With a bridge, bytes are held into
    // packets; with a bridge or jitter, whole deliveries wait in `deliveries`.
    struct Delivery {
        Clock::time_point due;
        Bytes bytes;
    };
    std::size_t packetBytes = 0;  // the settings in force, taken from the guarded ones each turn
    std::chrono::nanoseconds latency{0};
    bool jitterOn = false;
    Bytes held;
    Clock::time_point heldSince{}, lastEntry{}, lastDue{};
    std::deque<Delivery> deliveries;
    std::uint64_t emittedBytes = 0, writtenBytes = 0;
    // Send log records not yet handed over, in frame order: a frame's record
    // is resolved once byte `end` (its last) is written, or at once when the
    // frame never goes out.
    struct Pending {
        Device::Sent rec;
        std::uint64_t end;
        bool resolved;
    };
    std::deque<Pending> pending;

    void writeIdentBlock() {
        const int code = answerAsKind != 0 ? answerAsKind : kind;
        const Bytes block = encodeIdentBlock(static_cast<std::uint8_t>(code & 0xFF), ident);
        std::copy(block.begin(), block.end(), regs.begin() + kRegIdent);
    }

    void wake() const {
        if (wakeFd >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] ssize_t r = ::write(wakeFd, &one, sizeof one);
        }
    }

    // ---- content, with m held ----

    int noise() {
        if (noiseAmp <= 0) return 0;
        const auto span = static_cast<std::uint32_t>(2 * noiseAmp + 1);
        return static_cast<int>(rng() % span) - noiseAmp;
    }

    // A count from the calibration: rounded, noise added, clamped to the field.
    std::int32_t physicalCount(double v, bool unsignedField) {
        const double lo = unsignedField ? 0.0 : -32768.0, hi = unsignedField ? 65535.0 : 32767.0;
        const std::int64_t n = static_cast<std::int64_t>(std::llround(std::clamp(v, lo - 1e6, hi + 1e6))) + noise();
        return unsignedField ? clampUnsigned16(n) : clampSigned16(n);
    }

    // Channel c's (x, y, z) from its force; z unsigned unless zSigned.
    Load3 forceLoad(int c, bool zSigned) {
        const auto v = countsFor(cal.channel[static_cast<std::size_t>(c)], force[static_cast<std::size_t>(c)]);
        Load3 l;
        l.fx = physicalCount(v[0], false);
        l.fy = physicalCount(v[1], false);
        l.fz = physicalCount(v[2], !zSigned);
        return l;
    }

    Load3 channelLoad(int c) {
        Load3 l = load[static_cast<std::size_t>(c)];
        if (noiseAmp > 0) {
            l.fx = clampSigned16(static_cast<std::int64_t>(l.fx) + noise());
            l.fy = clampSigned16(static_cast<std::int64_t>(l.fy) + noise());
            l.fz = clampUnsigned16(static_cast<std::int64_t>(l.fz) + noise());
        }
        return l;
    }

    std::array<std::int32_t, 6> sixAxisLoad(bool fzUnsigned) {
        if (wrenchOn) {
            const auto c = countsFor(cal.sixAxis, wrench);
            std::array<std::int32_t, 6> out{};
            for (std::size_t i = 0; i < 6; ++i) out[i] = physicalCount(c[i], i == 2 && fzUnsigned);
            return out;
        }
        const std::array<std::int32_t, 6> v{load6.Fx, load6.Fy, load6.Fz, load6.Tx, load6.Ty, load6.Tz};
        if (noiseAmp <= 0) return v;
        std::array<std::int32_t, 6> out{};
        for (std::size_t i = 0; i < 6; ++i) {
            const std::int64_t n = static_cast<std::int64_t>(v[i]) + noise();
            out[i] = (i == 2 && fzUnsigned) ? clampUnsigned16(n) : clampSigned16(n);
        }
        return out;
    }

    UnitData unitData(int c, bool zSigned) {
        const bool physical = forceOn[static_cast<std::size_t>(c)];
        const Load3 l = physical ? forceLoad(c, zSigned) : channelLoad(c);
        UnitData u;
        u.x = l.fx;
        u.y = l.fy;
        u.z = !physical && zSigned && noiseAmp > 0 ? clampSigned16(l.fz) : l.fz;
        const auto s = elementReadings(l);
        for (std::size_t i = 0; i < 4; ++i) u.s[i] = u.s[i + 4] = s[i];
        u.aux = auxSequence ? frameNumber : aux[static_cast<std::size_t>(c)];
        if (saturateAt > 0) saturate(u, zSigned);
        return u;
    }

    // The rails of a channel pushed past saturateAt (setSaturation).
    void saturate(UnitData& u, bool zSigned) const {
        bool railed = false;
        for (auto& v : u.s)
            if (v > saturateAt) {
                v = 65535;
                railed = true;
            }
        if (!railed) return;
        u.x = u.x >= 0 ? 32767 : -32768;
        u.y = u.y >= 0 ? 32767 : -32768;
        u.z = zSigned ? 32767 : 65535;
    }

    void saturate6(std::array<std::int32_t, 6>& ft, bool fzUnsigned) const {
        if (saturateAt <= 0) return;
        for (std::size_t i = 0; i < 6; ++i) {
            if (i == 2 && fzUnsigned) {
                if (ft[i] > saturateAt) ft[i] = 65535;
            } else if (ft[i] > saturateAt || ft[i] < -saturateAt) {
                ft[i] = ft[i] > 0 ? 32767 : -32768;
            }
        }
    }

    Bytes streamFrame(int asKind, std::uint8_t kindByte) {
        switch (asKind) {
        case kKind3AxisStream: {
            const UnitData u = unitData(0, false);
            Frame3Axis f;
            f.config = config;
            f.x = u.x;
            f.y = u.y;
            f.z = u.z;
            f.aux = u.aux;
            f.s = u.s;
            return encode3Axis(f, kindByte);
        }
        case kKind4ChannelStream: {
            Frame4Channel f;
            f.config = config;
            for (int c = 0; c < 4; ++c) {
                const UnitData u = unitData(c, false);
                auto& ch = f.ch[static_cast<std::size_t>(c)];
                ch.x = u.x;
                ch.y = u.y;
                ch.z = u.z;
                ch.aux = u.aux;
                std::copy(u.s.begin(), u.s.begin() + 4, ch.s.begin());
            }
            return encode4Channel(f, kindByte);
        }
        default: {
            Frame6Axis f;
            f.config = config;
            f.ft = sixAxisLoad(false);
            saturate6(f.ft, false);
            for (int c = 0; c < 4; ++c) {
                const UnitData u = unitData(c, false);
                f.aux[static_cast<std::size_t>(c)] = u.aux;
                std::copy(u.s.begin(), u.s.begin() + 4, f.s[static_cast<std::size_t>(c)].begin());
            }
            return encode6Axis(f, kindByte);
        }
        }
    }

    Bytes nextDataFrame() {
        ++frameNumber;
        if (isStreamingKind(kind)) {
            int asKind = kind;
            std::uint8_t kindByte = 0;
            if (isStreamingKind(answerAsKind)) asKind = answerAsKind;
            kindByte = asKind == kKind3AxisStream ? kKindByte3Axis
                       : asKind == kKind4ChannelStream ? kKindByte4Channel
                                                       : kKindByte6Axis;
            if (answerAsKind != 0 && !isStreamingKind(answerAsKind))
                kindByte = static_cast<std::uint8_t>(answerAsKind & 0xFF);
            return streamFrame(asKind, kindByte);
        }
        const bool vector = regs[kRegMode] != 0;
        const std::uint16_t lead = seq++;
        Bytes payload;
        if (kind == kKind3AxisFramed) {
            payload = encodeDataPayloadV6(status, unitData(0, vector), lead);
        } else if (kind == kKind4ChannelFramed) {
            std::array<UnitData, 4> ch;
            for (int c = 0; c < 4; ++c) ch[static_cast<std::size_t>(c)] = unitData(c, vector);
            payload = encodeDataPayloadV7(status, ch, lead);
        } else {
            auto ft = sixAxisLoad(!vector);
            saturate6(ft, !vector);
            std::array<UnitData, 4> units;
            for (int c = 0; c < 4; ++c) units[static_cast<std::size_t>(c)] = unitData(c, vector);
            payload = encodeDataPayloadV8(status, ft, units, lead);
        }
        return encodeAddressed(kRegData, payload);
    }

    double rateLocked() const {
        if (rateOverride > 0) return rateOverride;
        if (isStreamingKind(kind)) return rateForConfigByte(config);
        const int r = rateForSpeedCode(regs[kRegSpeed]);
        return r > 0 ? r : 100;
    }

    void applyWrite(const Request& rq) {
        for (std::size_t k = 0; k < rq.data.size(); ++k) {
            const std::size_t a = rq.reg + k;
            const std::uint8_t v = rq.data[k];
            if (a == kRegSpeed) {
                if (isValidSpeedCode(v)) regs[a] = v;
            } else if (a == kRegFilter) {
                if (isValidFilterCode(v)) regs[a] = v;
            } else if (a >= kRegSpeed && a < kRegSpeed + kConfigBlockLen) {
                regs[a] = v;
            }
        }
    }

    Bytes replyFor(const Request& rq) const {
        Bytes payload(rq.count, 0);
        for (std::size_t k = 0; k < rq.count; ++k) {
            const std::size_t a = rq.reg + k;
            if (a < regs.size()) payload[k] = regs[a];
        }
        return encodeAddressed(rq.reg, payload);
    }

    // ---- serving thread ----

    void handleInput(const std::uint8_t* data, std::size_t n) {
        std::vector<Bytes> replies;
        {
            std::lock_guard<std::mutex> lk(m);
            rx.insert(rx.end(), data, data + n);
            if (answering) {
                if (parserReset) {
                    parser.reset();
                    parserReset = false;
                }
                if (isStreamingKind(kind)) {
                    config = data[n - 1];  // each byte is a full command; the last one stands
                } else {
                    for (std::size_t i = 0; i < n; ++i) {
                        auto rq = parser.feed(data[i]);
                        if (!rq) continue;
                        if (rq->type == Request::Type::Read && replyDelay.count() > 0)
                            delayedReplies.emplace_back(Clock::now() + replyDelay, replyFor(*rq));
                        else if (rq->type == Request::Type::Read)
                            replies.push_back(replyFor(*rq));
                        else
                            applyWrite(*rq);
                    }
                    rejected = parser.rejected();
                }
            }
        }
        cv.notify_all();
        for (auto& r : replies) emit(std::move(r), true);
    }

    // Reads all the host has written; false when the master reports an error.
    void drainInput() {
        std::uint8_t buf[4096];
        for (;;) {
            const ssize_t r = ::read(master, buf, sizeof buf);
            if (r > 0) {
                handleInput(buf, static_cast<std::size_t>(r));
                continue;
            }
            if (r < 0 && errno == EINTR) continue;
            return;  // EAGAIN, EIO (no slave), or 0
        }
    }

    // Resolves the records whose last byte is written, and hands the
    // resolved ones at the head over to the send log.
    void settle() {
        if (pending.empty()) return;
        const auto now = Clock::now();
        for (auto& p : pending) {
            if (p.resolved) continue;
            if (p.end > writtenBytes) break;
            p.rec.at = now;
            p.resolved = true;
        }
        if (!pending.front().resolved) return;
        std::lock_guard<std::mutex> lk(m);
        while (!pending.empty() && pending.front().resolved) {
            sent.push_back(pending.front().rec);
            pending.pop_front();
        }
    }

    void flushOut() {
        while (outPos < outq.size()) {
            const ssize_t w = ::write(master, outq.data() + outPos, outq.size() - outPos);
            if (w > 0) {
                outPos += static_cast<std::size_t>(w);
                writtenBytes += static_cast<std::uint64_t>(w);
                settle();
                continue;
            }
            if (w < 0 && errno == EINTR) continue;
            break;
        }
        if (outPos == outq.size()) {
            outq.clear();
            outPos = 0;
        }
    }

    // Writes all bytes, waiting for room; false after kBlockingWriteLimit or a hang-up.
    bool writeBlocking(const std::uint8_t* p, std::size_t n) {
        const auto deadline = Clock::now() + kBlockingWriteLimit;
        while (n > 0) {
            const ssize_t w = ::write(master, p, n);
            if (w > 0) {
                p += w;
                n -= static_cast<std::size_t>(w);
                writtenBytes += static_cast<std::uint64_t>(w);
                settle();
                continue;
            }
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && errno != EAGAIN) return false;
            if (Clock::now() >= deadline || stopReq) return false;
            pollfd pf{master, POLLOUT, 0};
            ::poll(&pf, 1, 1);
            if (pf.revents & POLLHUP) return false;
        }
        return true;
    }

    void pauseFor(std::chrono::microseconds us) {
        if (us.count() <= 0) return;
        timespec ts{static_cast<time_t>(us.count() / 1000000), static_cast<long>((us.count() % 1000000) * 1000)};
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }

    bool shaped() const { return packetBytes > 0 || jitterOn; }

    void pushOut(const Bytes& b) {
        outq.insert(outq.end(), b.begin(), b.end());
        flushOut();
    }

    // Queues bytes ready to leave the bridge at `ready`, after the jitter.
    void deliver(Bytes bytes, Clock::time_point ready) {
        Clock::time_point due = ready;
        {
            std::lock_guard<std::mutex> lk(m);
            if (jitterMax.count() > 0) {
                std::uniform_int_distribution<std::int64_t> extra(
                    0, std::chrono::duration_cast<std::chrono::nanoseconds>(jitterMax).count());
                due += std::chrono::nanoseconds(extra(jitterRng));
            }
        }
        due = std::max(due, lastDue);  // never ahead of the delivery before
        lastDue = due;
        deliveries.push_back({due, std::move(bytes)});
    }

    // Writes the deliveries due by `now` (all of them when the link no
    // longer shapes), each in one write.
    void writeDue(Clock::time_point now) {
        while (!deliveries.empty() && (deliveries.front().due <= now || !shaped())) {
            pushOut(deliveries.front().bytes);
            deliveries.pop_front();
        }
    }

    // Lets the bridge send a partial packet whose timer ran out by `now`,
    // then writes what is due. Called once the frames due by `now` are in.
    void pumpLink(Clock::time_point now) {
        if (!held.empty() && (packetBytes == 0 || now >= heldSince + latency)) {
            deliver(std::move(held), packetBytes == 0 ? now : heldSince + latency);
            held.clear();
        }
        writeDue(now);
    }

    // When the link next has something to do.
    Clock::time_point linkDue() const {
        Clock::time_point t = Clock::time_point::max();
        if (!held.empty()) t = heldSince + latency;
        if (!deliveries.empty()) t = std::min(t, deliveries.front().due);
        return t;
    }

    // Bytes the device sends at `entry` (a frame's true instant), into the link.
    void link(const Bytes& bytes, Clock::time_point entry) {
        emittedBytes += bytes.size();
        if (!shaped()) {
            pushOut(bytes);
            return;
        }
        entry = std::max(entry, lastEntry);
        lastEntry = entry;
        if (packetBytes == 0) {
            deliver(bytes, entry);
        } else {
            if (!held.empty() && entry >= heldSince + latency) {
                deliver(std::move(held), heldSince + latency);
                held.clear();
            }
            std::size_t i = 0;
            while (i < bytes.size()) {
                if (held.empty()) heldSince = entry;
                const std::size_t take = std::min(bytes.size() - i, packetBytes - held.size());
                held.insert(held.end(), bytes.begin() + static_cast<long>(i), bytes.begin() + static_cast<long>(i + take));
                i += take;
                if (held.size() == packetBytes) {
                    deliver(std::move(held), entry);
                    held.clear();
                }
            }
        }
        writeDue(Clock::now());
    }

    // Takes new link settings; what the bridge held under the old ones goes
    // on its way at once.
    void applyLinkSettings(std::size_t packet, std::chrono::nanoseconds lat, bool jitter) {
        if ((packet != packetBytes || lat != latency) && !held.empty()) {
            deliver(std::move(held), Clock::now());
            held.clear();
        }
        packetBytes = packet;
        latency = lat;
        jitterOn = jitter;
    }

    // Marks every record still waiting as lost and hands it over.
    void loseUnwritten() {
        for (auto& p : pending) {
            if (p.resolved) continue;
            p.rec.fate = Device::Fate::Lost;
            p.resolved = true;
        }
        settle();
    }

    // Records a frame that is taken but not sent.
    void recordUnsent(Device::Sent rec, Device::Fate fate) {
        rec.fate = fate;
        pending.push_back({rec, emittedBytes, true});
        settle();
    }

    // Sends one frame (data frame or reply) at a frame boundary; a data
    // frame enters the link at its true instant `entry`, with its send log
    // record when the log is on.
    void emit(Bytes frame, bool isReply, Clock::time_point entry = {}, const Device::Sent* rec = nullptr) {
        if (!open) {
            if (rec) recordUnsent(*rec, Device::Fate::Lost);
            return;
        }
        if (isReply) entry = Clock::now();
        std::vector<std::size_t> cuts;
        std::chrono::microseconds pause{0};
        bool corrupted = false, silent = false;
        {
            std::lock_guard<std::mutex> lk(m);
            silent = Clock::now() < silentUntil;
            if (!silent) {
                if (corrupt > 0) {
                    --corrupt;
                    frame.back() ^= 0xFF;
                    corrupted = true;
                }
                if (splitFrames != 0) {
                    if (splitFrames > 0) --splitFrames;
                    pause = splitPause;
                    if (shaped()) {
                        // the bridge decides the writes
                    } else if (splitBytes) {
                        for (std::size_t i = 1; i < frame.size(); ++i) cuts.push_back(i);
                    } else {
                        for (auto c : splitOffsets)
                            if (c > 0 && c < frame.size() && (cuts.empty() || c > cuts.back())) cuts.push_back(c);
                    }
                }
                if (isReply)
                    ++repliesSent;
                else
                    ++framesSent;
            }
        }
        if (silent) {
            if (rec) recordUnsent(*rec, Device::Fate::Lost);
            return;
        }
        if (rec) {
            Device::Sent r = *rec;
            r.fate = corrupted ? Device::Fate::Corrupted : Device::Fate::Sent;
            pending.push_back({r, emittedBytes + frame.size(), false});
        }
        if (!cuts.empty()) {
            emittedBytes += frame.size();
            // The pending bytes must be out before the pieces go.
            if (outPos < outq.size() && !writeBlocking(outq.data() + outPos, outq.size() - outPos)) {
                outq.insert(outq.end(), frame.begin(), frame.end());
                return;
            }
            outq.clear();
            outPos = 0;
            std::size_t from = 0;
            cuts.push_back(frame.size());
            for (std::size_t i = 0; i < cuts.size(); ++i) {
                if (i > 0) pauseFor(pause);
                if (!writeBlocking(frame.data() + from, cuts[i] - from)) {
                    writtenBytes = emittedBytes;  // the rest is given up
                    loseUnwritten();
                    return;
                }
                from = cuts[i];
            }
            return;
        }
        link(frame, entry);
    }

    // Clears what the host had not read yet, so a later open starts clean.
    void discardUndelivered() {
        outq.clear();
        outPos = 0;
        held.clear();
        deliveries.clear();
        writtenBytes = emittedBytes;
        loseUnwritten();
        tcflush(master, TCOFLUSH);
        std::string path;
        {
            std::lock_guard<std::mutex> lk(m);
            path = slave;
        }
        const int s = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (s >= 0) {
            tcflush(s, TCIFLUSH);
            setRaw(s);
            ::close(s);
        }
    }

    void drainWake() {
        std::uint64_t v;
        [[maybe_unused]] ssize_t r = ::read(wakeFd, &v, sizeof v);
    }

    void setHostOpen(bool on) {
        {
            std::lock_guard<std::mutex> lk(m);
            hostOpen = on;
            if (on) ++hostOpens;
            rawQueue.clear();
            delayedReplies.clear();
        }
        cv.notify_all();
    }

    void serve() {
        // The frame schedule: frame k of a run is due at anchor + k * period,
        // computed from k, so that no rounding accumulates.
        Clock::time_point anchor = Clock::now();
        std::int64_t k = 0;
        double periodNs = 0.0;
        const auto dueAt = [&](std::int64_t i) {
            return anchor + std::chrono::nanoseconds(std::llround(static_cast<double>(i) * periodNs));
        };
        const auto restartSchedule = [&](Clock::time_point t) {
            anchor = t;
            k = 0;
        };
        while (!stopReq) {
            if (!open) {
                pollfd pw{wakeFd, POLLIN, 0};
                ::poll(&pw, 1, static_cast<int>(kClosedPollInterval.count()));
                if (pw.revents & POLLIN) drainWake();
                pollfd pm{master, POLLIN, 0};
                ::poll(&pm, 1, 0);
                if (pm.revents & POLLNVAL) return;
                if (!(pm.revents & POLLHUP)) {
                    // Opened: serve before taking the host's first bytes, so a
                    // request written right after the open is answered.
                    open = true;
                    outq.clear();
                    outPos = 0;
                    lastEntry = lastDue = Clock::time_point{};
                    restartSchedule(Clock::now());
                    replayStart = anchor;
                    replayPos = 0;
                    setHostOpen(true);
                    if (pm.revents & POLLIN) drainInput();
                } else {
                    if (pm.revents & POLLIN) drainInput();  // written before a close: recorded only
                    std::lock_guard<std::mutex> lk(m);
                    rawQueue.clear();
                }
                continue;
            }

            double rate, ppm;
            std::size_t packet;
            std::chrono::nanoseconds lat;
            bool jitter;
            Clock::time_point silentEnd;
            Clock::time_point replyDue = Clock::time_point::max();
            {
                std::lock_guard<std::mutex> lk(m);
                rate = rateLocked();
                ppm = clockPpm;
                packet = bridgePacket;
                lat = bridgeLatency;
                jitter = jitterMax.count() > 0;
                silentEnd = silentUntil;
                if (!delayedReplies.empty()) replyDue = delayedReplies.front().first;
            }
            applyLinkSettings(packet, lat, jitter);
            const double wantNs = 1e9 / (rate * (1.0 + ppm * 1e-6));
            if (wantNs != periodNs) {
                if (periodNs > 0) restartSchedule(dueAt(k));  // the new pace from the next frame on
                periodNs = wantNs;
            }
            auto now = Clock::now();
            const Clock::time_point wakeAt =
                std::min({now < silentEnd ? silentEnd : dueAt(k), replyDue, linkDue()});

            pollfd fds[2] = {{master, static_cast<short>(POLLIN | (outq.empty() ? 0 : POLLOUT)), 0},
                             {wakeFd, POLLIN, 0}};
            const auto wait = std::max(std::chrono::nanoseconds(0),
                                       std::min<std::chrono::nanoseconds>(wakeAt - now, std::chrono::milliseconds(50)));
            timespec ts{static_cast<time_t>(wait.count() / 1000000000), static_cast<long>(wait.count() % 1000000000)};
            const int pr = ::ppoll(fds, 2, &ts, nullptr);
            if (pr < 0 && errno != EINTR) return;
            if (fds[1].revents & POLLIN) drainWake();
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) drainInput();
            if (fds[0].revents & POLLNVAL) return;
            if (fds[0].revents & POLLHUP) {
                open = false;
                discardUndelivered();
                setHostOpen(false);
                continue;
            }
            if (!outq.empty()) flushOut();

            std::deque<Bytes> raw;
            {
                std::lock_guard<std::mutex> lk(m);
                raw.swap(rawQueue);
            }
            for (auto& b : raw) link(b, Clock::now());
            std::vector<Bytes> due;
            {
                std::lock_guard<std::mutex> lk(m);
                while (!delayedReplies.empty() && delayedReplies.front().first <= Clock::now()) {
                    due.push_back(std::move(delayedReplies.front().second));
                    delayedReplies.pop_front();
                }
            }
            for (auto& r : due) emit(std::move(r), true);

            now = Clock::now();
            {
                std::lock_guard<std::mutex> lk(m);
                silentEnd = silentUntil;
            }
            if (now < silentEnd) {
                restartSchedule(now);  // the first frame after the silence goes at once
                pumpLink(now);
                continue;
            }
            if (!replay.empty()) {
                // Replaying: each chunk at its own time from the open; no frames.
                while (replayPos < replay.size() &&
                       now >= replayStart + std::chrono::microseconds(replay[replayPos].micros)) {
                    const auto& c = replay[replayPos++];
                    link(c.bytes, replayStart + std::chrono::microseconds(c.micros));
                }
                restartSchedule(replayPos < replay.size()
                                    ? replayStart + std::chrono::microseconds(replay[replayPos].micros)
                                    : now + std::chrono::seconds(1));
                pumpLink(Clock::now());
                continue;
            }
            if (now - dueAt(k) > kMaxCatchUp) restartSchedule(now);
            while (now >= dueAt(k) && open && !stopReq) {
                const Clock::time_point taken = dueAt(k);
                ++k;
                if (emittedBytes - writtenBytes > kMaxPendingOut) {
                    std::lock_guard<std::mutex> lk(m);
                    ++dropped;
                    continue;
                }
                Bytes frame;
                Device::Sent rec{};
                bool logOn, drop = false;
                {
                    std::lock_guard<std::mutex> lk(m);
                    frame = nextDataFrame();
                    rec.number = frameNumber;
                    rec.taken = taken;
                    logOn = sendLogOn;
                    if (dropNext > 0) {
                        --dropNext;
                        drop = true;
                    }
                    if (dropEveryN > 0 && ++dropPhase >= dropEveryN) {
                        dropPhase = 0;
                        drop = true;
                    }
                }
                if (drop) {
                    if (logOn) recordUnsent(rec, Device::Fate::Dropped);
                    continue;
                }
                emit(std::move(frame), false, taken, logOn ? &rec : nullptr);
            }
            pumpLink(now);  // every frame due by now is in: no packet goes out ahead of one it should hold
        }
    }

    void threadMain() {
        serve();
        writtenBytes = emittedBytes;  // what had not gone out never will
        held.clear();
        deliveries.clear();
        loseUnwritten();
        const double cpu = threadCpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        std::lock_guard<std::mutex> lk(m);
        lastCpu = cpu;
    }
};

Device::Device(int kind) : kind_(kind) {
    if (!isStreamingKind(kind) && !isFramedKind(kind))
        throw std::invalid_argument("brvsim::Device: unknown kind code " + std::to_string(kind));
    d_ = std::make_unique<Impl>(kind);
}

Device::~Device() { stop(); }

bool Device::start() {
    std::lock_guard<std::mutex> life(d_->life);
    if (d_->th.joinable()) return false;
    const int m = ::open("/dev/ptmx", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m < 0) return false;
    char name[128];
    if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
        ::close(m);
        return false;
    }
    setRaw(m);
    // Opening and closing the slave once marks it closed on the master side,
    // which is how the serving thread tells that no host has it open.
    const int s = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s < 0) {
        ::close(m);
        return false;
    }
    setRaw(s);
    ::close(s);
    if (d_->wakeFd < 0) {
        ::close(m);
        return false;
    }
    drainWakeUnlocked(d_->wakeFd);
    d_->master = m;
    {
        std::lock_guard<std::mutex> lk(d_->m);
        d_->slave = name;
        d_->hostOpen = false;
    }
    d_->open = false;
    d_->outq.clear();
    d_->outPos = 0;
    d_->stopReq = false;
    d_->th = std::thread([this] { d_->threadMain(); });
    return true;
}

void Device::stop() {
    std::lock_guard<std::mutex> life(d_->life);
    if (!d_->th.joinable()) return;
    d_->stopReq = true;
    d_->wake();
    d_->th.join();
    ::close(d_->master);
    d_->master = -1;
    {
        std::lock_guard<std::mutex> lk(d_->m);
        d_->hostOpen = false;
    }
    d_->cv.notify_all();
}

void Device::hangUp() { stop(); }

bool Device::running() const {
    std::lock_guard<std::mutex> life(d_->life);
    return d_->th.joinable();
}

std::string Device::portName() const {
    std::lock_guard<std::mutex> lk(d_->m);
    return d_->slave;
}

void Device::setRate(double fps) {
    {
        std::lock_guard<std::mutex> lk(d_->m);
        d_->rateOverride = fps > 0 ? fps : 0.0;
    }
    d_->wake();
}

bool Device::setLoad(int channel, const Load3& load) {
    if (channel < 0 || channel >= channelCount(kind_)) return false;
    if (load.fx < -32768 || load.fx > 32767 || load.fy < -32768 || load.fy > 32767 || !loadFitsReadings(load))
        return false;
    std::lock_guard<std::mutex> lk(d_->m);
    d_->load[static_cast<std::size_t>(channel)] = load;
    d_->forceOn[static_cast<std::size_t>(channel)] = false;
    return true;
}

void Device::setLoadAll(const Load3& load) {
    for (int c = 0; c < channelCount(kind_); ++c) setLoad(c, load);
}

bool Device::setLoad6(const Load6& l) {
    for (auto v : {l.Fx, l.Fy, l.Fz, l.Tx, l.Ty, l.Tz})
        if (v < -32768 || v > 32767) return false;
    std::lock_guard<std::mutex> lk(d_->m);
    d_->load6 = l;
    d_->wrenchOn = false;
    return true;
}

void Device::setCalibration(const Calibration& cal) {
    std::lock_guard<std::mutex> lk(d_->m);
    d_->cal = cal;
}

bool Device::setChannelGain(int channel, const Gain3& gain) {
    double inv[9];
    if (channel < 0 || channel >= channelCount(kind_) || !invertMatrix(&gain.gain[0][0], inv, 3)) return false;
    for (double b : gain.bias)
        if (!std::isfinite(b)) return false;
    std::lock_guard<std::mutex> lk(d_->m);
    d_->cal.channel[static_cast<std::size_t>(channel)] = gain;
    return true;
}

bool Device::setSixAxisGain(const Gain6& gain) {
    double inv[36];
    if (!isSixAxisKind(kind_) || !invertMatrix(&gain.gain[0][0], inv, 6)) return false;
    for (double b : gain.bias)
        if (!std::isfinite(b)) return false;
    std::lock_guard<std::mutex> lk(d_->m);
    d_->cal.sixAxis = gain;
    return true;
}

Calibration Device::calibration() const {
    std::lock_guard<std::mutex> lk(d_->m);
    return d_->cal;
}

bool Device::setForce(int channel, const Force3& f) {
    if (channel < 0 || channel >= channelCount(kind_)) return false;
    if (!std::isfinite(f.fx) || !std::isfinite(f.fy) || !std::isfinite(f.fz)) return false;
    std::lock_guard<std::mutex> lk(d_->m);
    d_->force[static_cast<std::size_t>(channel)] = f;
    d_->forceOn[static_cast<std::size_t>(channel)] = true;
    return true;
}

bool Device::setForceAll(const Force3& f) {
    for (int c = 0; c < channelCount(kind_); ++c)
        if (!setForce(c, f)) return false;
    return true;
}

bool Device::setWrench(const Wrench& w) {
    if (!isSixAxisKind(kind_)) return false;
    for (double v : {w.Fx, w.Fy, w.Fz, w.Tx, w.Ty, w.Tz})
        if (!std::isfinite(v)) return false;
    std::lock_guard<std::mutex> lk(d_->m);
    d_->wrench = w;
    d_->wrenchOn = true;
    return true;
}

void Device::setAux(int channel, std::uint16_t aux) {
    if (channel < 0 || channel >= 4) return;
    std::lock_guard<std::mutex> lk(d_->m);
    d_->aux[static_cast<std::size_t>(channel)] = aux;
}

void Device::setNoise(int amplitude, std::uint32_t seed) {
    std::lock_guard<std::mutex> lk(d_->m);
    d_->noiseAmp = std::max(0, amplitude);
    d_->rng.seed(seed);
}

void Device::setSaturation(int threshold) {
    std::lock_guard<std::mutex> lk(d_->m);
    d_->saturateAt = std::max(0, threshold);
}

void Device::setStatusWord(std::uint16_t status) {
    std::lock_guard<std::mutex> lk(d_->m);
    d_->status = status;
}

void Device::setConfigByte(std::uint8_t config) {
    {
        std::lock_guard<std::mutex> lk(d_->m);
        d_->config = config;
    }
    d_->wake();
}

void Device::setRegister(std::uint16_t reg, std::uint8_t value) {
    {
        std::lock_guard<std::mutex> lk(d_->m);
        if (reg < d_->regs.size()) d_->regs[reg] = value;
    }
    d_->wake();
}

void Device::setIdentText(const std::string& text) {
    std::lock_guard<std::mutex> lk(d_->m);
    d_->ident = text;
    d_->writeIdentBlock();
}

void Device::corruptNextFrames(int n) {
    std::lock_guard<std::mutex> lk(d_->m);
    d_->corrupt = std::max(0, n);
}

void Device::sendRaw(const Bytes& bytes) {
    {
        std::lock_guard<std::mutex> lk(d_->m);
        d_->rawQueue.push_back(bytes);
    }
    d_->wake();
}

void Device::splitNextFrames(const std::vector<std::size_t>& offsets, int frames, std::chrono::microseconds pause) {
    std::lock_guard<std::mutex> lk(d_->m);
    d_->splitOffsets = offsets;
    std::sort(d_->splitOffsets.begin(), d_->splitOffsets.end());
    d_->splitBytes = false;
    d_->splitFrames = frames;
    d_->splitPause = pause;
}

void Device::byteByByteNextFrames(int frames, std::chrono::microseconds pause) {
    std::lock_guard<std::mutex> lk(d_->m);
    d_->splitOffsets.clear();
    d_->splitBytes = true;
    d_->splitFrames = frames;
    d_->splitPause = pause;
}

void Device::silence(std::chrono::milliseconds duration) {
    {
        std::lock_guard<std::mutex> lk(d_->m);
        d_->silentUntil = Clock::now() + duration;
    }
    d_->wake();
}

void Device::setAuxSequence(bool on) {
    std::lock_guard<std::mutex> lk(d_->m);
    d_->auxSequence = on;
}

void Device::setReplay(std::vector<CaptureChunk> chunks) {
    std::lock_guard<std::mutex> life(d_->life);
    if (!d_->th.joinable()) d_->replay = std::move(chunks);
}

void Device::setSendLog(bool on) {
    std::lock_guard<std::mutex> lk(d_->m);
    d_->sendLogOn = on;
}

void Device::setClockPpm(double ppm) {
    {
        std::lock_guard<std::mutex> lk(d_->m);
        d_->clockPpm = std::isfinite(ppm) ? std::clamp(ppm, -100000.0, 100000.0) : 0.0;
    }
    d_->wake();
}

void Device::setBridge(std::size_t packetBytes, std::chrono::microseconds latency) {
    {
        std::lock_guard<std::mutex> lk(d_->m);
        d_->bridgePacket = packetBytes;
        d_->bridgeLatency = std::max(latency, std::chrono::microseconds(0));
    }
    d_->wake();
}

void Device::setJitter(std::chrono::microseconds maxDelay, std::uint64_t seed) {
    {
        std::lock_guard<std::mutex> lk(d_->m);
        d_->jitterMax = std::max(maxDelay, std::chrono::microseconds(0));
        d_->jitterRng.seed(seed);
    }
    d_->wake();
}

void Device::dropEvery(int n) {
    std::lock_guard<std::mutex> lk(d_->m);
    d_->dropEveryN = std::max(0, n);
    d_->dropPhase = 0;
}

void Device::dropNextFrames(int n) {
    std::lock_guard<std::mutex> lk(d_->m);
    d_->dropNext = std::max(0, n);
}

std::vector<Device::Sent> Device::sendLog() {
    std::lock_guard<std::mutex> lk(d_->m);
    std::vector<Sent> out;
    out.swap(d_->sent);
    return out;
}

void Device::setReplyDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lk(d_->m);
    d_->replyDelay = delay;
}

void Device::setAnswering(bool answering) {
    std::lock_guard<std::mutex> lk(d_->m);
    if (answering && !d_->answering) d_->parserReset = true;
    d_->answering = answering;
}

void Device::answerAs(int kindCode) {
    std::lock_guard<std::mutex> lk(d_->m);
    d_->answerAsKind = kindCode;
    d_->writeIdentBlock();
}

Bytes Device::received() const {
    std::lock_guard<std::mutex> lk(d_->m);
    return d_->rx;
}

void Device::clearReceived() {
    std::lock_guard<std::mutex> lk(d_->m);
    d_->rx.clear();
}

bool Device::waitForBytes(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lk(d_->m);
    return d_->cv.wait_for(lk, timeout, [&] { return d_->rx.size() >= n; });
}

bool Device::waitForSequence(const Bytes& seq, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lk(d_->m);
    return d_->cv.wait_for(lk, timeout, [&] {
        return std::search(d_->rx.begin(), d_->rx.end(), seq.begin(), seq.end()) != d_->rx.end();
    });
}

bool Device::waitForHostOpens(int count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lk(d_->m);
    return d_->cv.wait_for(lk, timeout, [&] { return d_->hostOpens >= count; });
}

std::uint64_t Device::framesSent() const {
    std::lock_guard<std::mutex> lk(d_->m);
    return d_->framesSent;
}

std::uint64_t Device::repliesSent() const {
    std::lock_guard<std::mutex> lk(d_->m);
    return d_->repliesSent;
}

std::uint64_t Device::framesDropped() const {
    std::lock_guard<std::mutex> lk(d_->m);
    return d_->dropped;
}

std::uint64_t Device::requestsRejected() const {
    std::lock_guard<std::mutex> lk(d_->m);
    return d_->rejected;
}

int Device::hostOpens() const {
    std::lock_guard<std::mutex> lk(d_->m);
    return d_->hostOpens;
}

bool Device::hostOpen() const {
    std::lock_guard<std::mutex> lk(d_->m);
    return d_->hostOpen;
}

std::uint8_t Device::configByte() const {
    std::lock_guard<std::mutex> lk(d_->m);
    if (isStreamingKind(kind_)) return d_->config;
    // The byte a host rebuilds from the configuration block: state 5, speed
    // and filter indices, mode bit.
    const std::uint8_t sc = d_->regs[kRegSpeed], fc = d_->regs[kRegFilter];
    const int s = sc == 1 ? 0 : sc == 3 ? 1 : sc == 10 ? 2 : sc == 33 ? 3 : (sc & 3);
    const int f = fc == 0 ? 0 : fc == 2 ? 1 : fc == 3 ? 2 : fc == 4 ? 3 : (fc & 3);
    return static_cast<std::uint8_t>(0xA0 | (s << 3) | (f << 1) | (d_->regs[kRegMode] != 0 ? 1 : 0));
}

std::uint8_t Device::registerValue(std::uint16_t reg) const {
    std::lock_guard<std::mutex> lk(d_->m);
    return reg < d_->regs.size() ? d_->regs[reg] : 0;
}

double Device::currentRate() const {
    std::lock_guard<std::mutex> lk(d_->m);
    return d_->rateLocked();
}

double Device::cpuSeconds() const {
    std::lock_guard<std::mutex> life(d_->life);
    if (d_->th.joinable()) {
        clockid_t id;
        if (pthread_getcpuclockid(d_->th.native_handle(), &id) == 0) return threadCpuSeconds(id);
    }
    std::lock_guard<std::mutex> lk(d_->m);
    return d_->lastCpu;
}

}  // namespace brvsim
