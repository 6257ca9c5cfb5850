// The host side for the simulator's tests: a frame splitter and field
// decoder written from the wire-format tables (not from the simulator's
// encoders), and a plain POSIX host that opens the pty slave.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace host {

using Bytes = std::vector<std::uint8_t>;

inline int u16(const Bytes& b, std::size_t off) { return (b[off] << 8) | b[off + 1]; }
inline int s16(const Bytes& b, std::size_t off) {
    const int v = u16(b, off);
    return v >= 0x8000 ? v - 0x10000 : v;
}

struct Frame {
    Bytes bytes;
    bool stream = false;  // 37 xx frame, else addressed AA frame
    bool checksumOk = false;
    int reg = -1;         // addressed frames
    Bytes payload;        // addressed frames
};

// Splits a byte stream into frames. Stream frames: 37, kind byte, config, ...;
// length 29 (44), 45 or 37 by config bit 0 (5E), 57 (5F); checksum = sum of
// bytes 2 .. L-3. Addressed frames: AA reg reg N payload sum (sum of bytes
// 0 .. N+3). Bytes that start no frame are counted in `junk`; an incomplete
// frame at the end is left in `rest`.
struct Split {
    std::vector<Frame> frames;
    std::size_t junk = 0;
    Bytes rest;
};

inline Split splitFrames(const Bytes& b) {
    Split out;
    std::size_t i = 0;
    while (i < b.size()) {
        std::size_t len = 0;
        bool stream = false;
        if (b[i] == 0x37) {
            if (i + 3 > b.size()) break;
            stream = true;
            if (b[i + 1] == 0x44) len = 29;
            else if (b[i + 1] == 0x5E) len = (b[i + 2] & 1) ? 37 : 45;
            else if (b[i + 1] == 0x5F) len = 57;
        } else if (b[i] == 0xAA) {
            if (i + 4 > b.size()) break;
            len = b[i + 3] + 6u;
        }
        if (len == 0) {
            ++out.junk;
            ++i;
            continue;
        }
        if (i + len > b.size()) break;
        Frame f;
        f.bytes.assign(b.begin() + static_cast<long>(i), b.begin() + static_cast<long>(i + len));
        f.stream = stream;
        unsigned sum = 0;
        for (std::size_t k = stream ? 2 : 0; k + 2 < len; ++k) sum += f.bytes[k];
        f.checksumOk = (sum & 0xFFFF) == static_cast<unsigned>(u16(f.bytes, len - 2));
        if (!stream) {
            f.reg = u16(f.bytes, 1);
            f.payload.assign(f.bytes.begin() + 4, f.bytes.end() - 2);
        }
        out.frames.push_back(std::move(f));
        i += len;
    }
    out.rest.assign(b.begin() + static_cast<long>(i), b.end());
    return out;
}

// A predicate for readUntil: the bytes hold a whole frame of register reg.
inline auto holdsRegister(int reg) {
    return [reg](const Bytes& b) {
        for (const auto& f : splitFrames(b).frames)
            if (f.reg == reg) return true;
        return false;
    };
}

// The first frame of register reg in bytes; every frame before it must be
// whole and good, and a missing one fails the test.
inline Frame replyIn(const Bytes& bytes, int reg) {
    const auto split = splitFrames(bytes);
    EXPECT_EQ(split.junk, 0u);
    for (const auto& f : split.frames) {
        EXPECT_TRUE(f.checksumOk);
        if (f.reg == reg) return f;
    }
    ADD_FAILURE() << "no reply for register " << reg;
    return {};
}

// The host's vector from raw element readings.
struct Vec {
    int x, y, z;
};
inline Vec fromReadings(int s1, int s2, int s3, int s4) { return {s1 - s3, s4 - s2, (s1 + s2 + s3 + s4) / 4}; }

// A host opening the slave with plain POSIX calls.
class RawPort {
public:
    explicit RawPort(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ >= 0) {
            termios t{};
            tcgetattr(fd_, &t);
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~RawPort() { close(); }
    RawPort(const RawPort&) = delete;
    RawPort& operator=(const RawPort&) = delete;
    bool ok() const { return fd_ >= 0; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool write(const Bytes& b) { return fd_ >= 0 && ::write(fd_, b.data(), b.size()) == static_cast<ssize_t>(b.size()); }

    // Reads until `pred(all bytes so far)` holds or the timeout passes; each
    // read's size goes to `chunks` when given. Stops early on a hang-up.
    template <class Pred>
    Bytes readUntil(Pred pred, std::chrono::milliseconds timeout, std::vector<std::size_t>* chunks = nullptr) {
        Bytes all;
        const auto end = std::chrono::steady_clock::now() + timeout;
        hungUp_ = false;
        while (!pred(all)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            std::uint8_t buf[4096];
            const ssize_t r = ::read(fd_, buf, sizeof buf);
            if (r > 0) {
                all.insert(all.end(), buf, buf + r);
                if (chunks) chunks->push_back(static_cast<std::size_t>(r));
            } else if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR) || (p.revents & (POLLHUP | POLLERR))) {
                hungUp_ = true;
                break;
            }
        }
        return all;
    }
    // Reads until `n` complete frames have arrived (or the timeout).
    Split readFrames(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return splitFrames(readUntil([n](const Bytes& b) { return splitFrames(b).frames.size() >= n; }, timeout));
    }
    bool hungUp() const { return hungUp_; }

private:
    int fd_ = -1;
    bool hungUp_ = false;
};

}  // namespace host
