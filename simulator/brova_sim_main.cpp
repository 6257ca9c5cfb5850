// brova-sim: serves one simulated force sensor on a pseudo-terminal until
// SIGINT or SIGTERM. Prints the port path (one line) on stdout.

#include "brvsim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <pthread.h>
#include <time.h>

namespace {

const char* kUsage =
    "Usage: brova-sim --kind K [options]\n"
    "Serves a simulated force sensor on a pseudo-terminal, prints the port path\n"
    "(e.g. /dev/pts/7) on one line, and runs until SIGINT or SIGTERM.\n"
    "\n"
    "  --kind K         device kind code: 68 three-axis stream, 94 four-channel stream,\n"
    "                   95 six-axis stream, 31 framed three-axis, 34 framed four-channel,\n"
    "                   64 framed six-axis (default 68)\n"
    "  --rate HZ        initial sample rate: 1000, 333, 100 or 30 per second, set as\n"
    "                   the device's own configuration (speed field of a stream kind's\n"
    "                   configuration byte, speed code of a framed kind's register 50);\n"
    "                   the device then follows rate commands as a real one does\n"
    "                   (default 100; note that opening a framed device sets 100)\n"
    "  --pin-rate FPS   send frames at FPS per second whatever the device is told\n"
    "                   (a rate command is still confirmed, but changes nothing)\n"
    "  --mode raw|vector\n"
    "                   output mode: configuration byte bit 0 (stream kinds) or\n"
    "                   register 54 (framed kinds); default raw\n"
    "  --config BYTE    initial configuration byte of a stream kind (default 0xB0);\n"
    "                   --mode applies after it\n"
    "  --speed CODE     initial speed code of a framed kind: 1, 3, 10 (default), 33\n"
    "  --filter CODE    initial filter code of a framed kind: 0 (default) .. 6\n"
    "  --load FX,FY,FZ  three-axis load of every channel (units of a six-axis kind);\n"
    "                   the host reads x = FX, y = FY, z = FZ\n"
    "  --channel-load C:FX,FY,FZ  load of channel C only (may be repeated)\n"
    "  --load6 FX,FY,FZ,TX,TY,TZ  force and torque of a six-axis kind\n"
    "  --force FX,FY,FZ\n"
    "                   physical force in N on every channel (units of a six-axis\n"
    "                   kind), sent as the counts the device's true calibration\n"
    "                   makes of it: (x, y, z) = G F + b, rounded, clamped to the\n"
    "                   fields; decimals allowed\n"
    "  --channel-force C:FX,FY,FZ\n"
    "                   physical force in N on channel C only (may be repeated)\n"
    "  --wrench FX,FY,FZ,TX,TY,TZ\n"
    "                   force in N and torque in N*m on a six-axis kind, through its\n"
    "                   six-axis calibration: (Fx..Tz) = G W + b\n"
    "                   (--force and --wrench apply after the loads in counts)\n"
    "  --gain-matrix FILE\n"
    "                   the true calibration: gain matrices (counts per N, per N*m)\n"
    "                   and biases (counts at zero load) of the channels and of the\n"
    "                   six-axis sensor, as a text file of blocks \"channel C\" or\n"
    "                   \"six-axis\", each with \"gain\" (9 or 36 numbers, row by row)\n"
    "                   and \"bias\" (3 or 6 numbers); '#' comments; blocks not given\n"
    "                   come from the seed (see simulator/README.md)\n"
    "  --calibration-seed N\n"
    "                   make the calibration from seed N (default 1): about 100\n"
    "                   counts per N, 2000 per N*m, up to 3 % cross-talk, z bias\n"
    "                   near 16000; forces within +-75 N and torques within\n"
    "                   +-5 N*m fit every field in every mode\n"
    "  --print-calibration FILE\n"
    "                   write the calibration in use (the --gain-matrix format, with\n"
    "                   its inverse: N per count, and offset) to FILE at start;\n"
    "                   FILE - : print it on stdout and exit without serving\n"
    "  --control PATH   make a named pipe at PATH (removed at exit) and read load\n"
    "                   changes from it, one per line, applied to every device from\n"
    "                   its next frame (numbers separated by spaces or commas):\n"
    "                     force FX FY FZ          every channel, in N\n"
    "                     force C FX FY FZ        channel C (also channel-force)\n"
    "                     wrench FX FY FZ TX TY TZ\n"
    "                     counts FX FY FZ         back to counts, every channel\n"
    "                     counts C FX FY FZ       channel C, in counts\n"
    "                     counts FX FY FZ TX TY TZ  six-axis load, in counts\n"
    "                   a bad line is ignored with a message on stderr\n"
    "  --aux N          auxiliary reading of every channel (0..65535)\n"
    "  --status WORD    status word of framed data frames (default 0)\n"
    "  --ident TEXT     seven-character identification text (default SIM0001)\n"
    "  --answer-as K    report kind code K instead of the device's own\n"
    "  --noise A[,SEED]\n"
    "                   add deterministic noise in [-A, A] counts to every load\n"
    "                   component (in counts or physical)\n"
    "  --saturate N     saturate above a load: an element reading above N counts\n"
    "                   reads 65535 (its rail), and a channel (unit) with an element\n"
    "                   at the rail sends its vector at the rails (x, y at 32767 or\n"
    "                   -32768 by sign, z at 65535, or 32767 where it is signed); a\n"
    "                   six-axis component beyond +-N reads its rail (1..65534)\n"
    "  --aux-sequence   every channel's aux reading carries the data frame's number\n"
    "                   (16 bits), so that a reader can count lost samples\n"
    "  --replay FILE    serve the bytes of a capture file (brova capture) with their\n"
    "                   original timing, from the start at every open of the port,\n"
    "                   instead of made-up frames; the kind comes from the file\n"
    "                   unless --kind is given\n"
    "  --link PATH      also make PATH a symbolic link to the port (removed at exit)\n"
    "  --devices N      serve N devices alike, each on its own pseudo-terminal; their\n"
    "                   port paths are printed one per line (--link names the first)\n"
    "  --send-log FILE  at exit, write when each data frame went out: records of a\n"
    "                   32-bit device index (in the order printed), a 32-bit frame\n"
    "                   number (as --aux-sequence numbers them) and the 64-bit\n"
    "                   CLOCK_MONOTONIC time in nanoseconds, little-endian\n"
    "  --frame-log FILE\n"
    "                   write a line for every data frame taken, once its fate is\n"
    "                   known: NUMBER TAKEN_NS WRITTEN_NS FATE DEVICE, with the\n"
    "                   frame's number (as --aux-sequence numbers them), the instant\n"
    "                   the device took it and the instant its last byte was written\n"
    "                   to the port (CLOCK_MONOTONIC nanoseconds; 0 when never), its\n"
    "                   fate (sent, corrupt, dropped, lost) and the device's index\n"
    "                   (in the order printed); written as the device runs\n"
    "  --clock-ppm P    the device's clock runs P ppm fast (P > 0) or slow (P < 0):\n"
    "                   frame k is taken at t0 + k / (rate * (1 + P * 1e-6)) s,\n"
    "                   exactly (-100000..100000, decimals allowed; default 0)\n"
    "  --packet BYTES   a USB-serial bridge between the device and the port, as an\n"
    "                   FTDI chip: the bytes sent are held until a packet of BYTES\n"
    "                   (62 on FTDI; 1..4096) is full, or until the latency timer\n"
    "                   has run since the first byte of a partial packet came; each\n"
    "                   packet is one write to the port\n"
    "  --latency-timer MS\n"
    "                   the bridge's latency timer, 0..255 ms (default 16, as FTDI;\n"
    "                   1 with a low-latency udev rule); alone it means --packet 62\n"
    "  --jitter-ms J    delay every write (a packet, or a frame or reply without a\n"
    "                   bridge) by a further random time, uniform in 0..J ms\n"
    "                   (0..1000, decimals allowed), never reordering bytes\n"
    "  --seed N         seed of the --jitter-ms delays (default 1)\n"
    "  --drop-every N   every N-th data frame is taken (it has its number) but\n"
    "                   never sent, so a reader sees a missing frame\n"
    "  --log            print the bytes received from the host on stderr, in hex\n"
    "  --help           this text\n"
    "  --version        the version\n"
    "Numbers may be given in decimal or with a 0x prefix.\n";

bool parseInt(const char* s, long& out) {
    if (!s || !*s) return false;
    char* end = nullptr;
    out = std::strtol(s, &end, 0);
    return *end == '\0';
}

bool parseReal(const char* s, double& out) {
    if (!s || !*s) return false;
    char* end = nullptr;
    out = std::strtod(s, &end);
    return *end == '\0' && std::isfinite(out);
}

bool parseList(const std::string& s, std::vector<long>& out, std::size_t count) {
    out.clear();
    std::size_t pos = 0;
    while (pos <= s.size()) {
        const std::size_t comma = s.find(',', pos);
        const std::string item = s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        long v;
        if (!parseInt(item.c_str(), v)) return false;
        out.push_back(v);
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return out.size() == count;
}

// The whole of a file; false, with errno set, when it cannot be read.
bool readText(const std::string& path, std::string& out) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    const bool ok = !std::ferror(f);
    const int e = errno;
    std::fclose(f);
    errno = e;
    return ok;
}

// Numbers separated by commas, decimals allowed.
bool parseRealList(const std::string& s, std::vector<double>& out, std::size_t count) {
    out.clear();
    std::size_t pos = 0;
    for (;;) {
        const std::size_t comma = s.find(',', pos);
        const std::string item = s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        double v;
        if (!parseReal(item.c_str(), v)) return false;
        out.push_back(v);
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return out.size() == count;
}

brvsim::Force3 force3(const std::vector<double>& v, std::size_t at = 0) { return {v[at], v[at + 1], v[at + 2]}; }

// Applies one line of the control pipe to every device; an error text, or
// empty when it was applied.
std::string applyControl(const std::string& line, const std::vector<std::unique_ptr<brvsim::Device>>& devices) {
    std::string text = line;
    if (const auto hash = text.find('#'); hash != std::string::npos) text.erase(hash);
    for (char& c : text)
        if (c == ',' || c == '\t' || c == '\r') c = ' ';
    std::istringstream in(text);
    std::string word, item;
    if (!(in >> word)) return std::string();  // an empty line
    std::vector<double> v;
    while (in >> item) {
        double x;
        if (!parseReal(item.c_str(), x)) return "'" + item + "' is not a number";
        v.push_back(x);
    }
    const int kind = devices.front()->kind();
    const int channels = brvsim::channelCount(kind);
    auto channelOf = [&](double c, int& out) {
        if (c != std::floor(c) || c < 0 || c >= channels) return false;
        out = static_cast<int>(c);
        return true;
    };
    auto isInt = [](double x) { return x == std::floor(x) && std::fabs(x) < 1e9; };
    int c = -1;
    if (word == "force" || word == "channel-force") {
        const bool one = word == "channel-force" || v.size() == 4;
        if (v.size() != (one ? 4u : 3u)) return word + (one ? " needs C FX FY FZ" : " needs FX FY FZ or C FX FY FZ");
        if (one && !channelOf(v[0], c)) return "no channel " + std::to_string(static_cast<long long>(v[0]));
        for (const auto& d : devices)
            if (!(one ? d->setForce(c, force3(v, 1)) : d->setForceAll(force3(v)))) return "cannot apply it";
        return std::string();
    }
    if (word == "wrench") {
        if (v.size() != 6) return "wrench needs FX FY FZ TX TY TZ";
        if (!brvsim::isSixAxisKind(kind)) return "kind " + std::to_string(kind) + " has no six-axis sensor";
        for (const auto& d : devices) d->setWrench({v[0], v[1], v[2], v[3], v[4], v[5]});
        return std::string();
    }
    if (word == "counts") {
        for (double x : v)
            if (!isInt(x)) return "counts are whole numbers";
        auto i32 = [&](std::size_t k) { return static_cast<std::int32_t>(v[k]); };
        if (v.size() == 6) {
            for (const auto& d : devices)
                if (!d->setLoad6({i32(0), i32(1), i32(2), i32(3), i32(4), i32(5)}))
                    return "six-axis counts must lie in -32768..32767";
            return std::string();
        }
        if (v.size() != 3 && v.size() != 4) return "counts needs FX FY FZ, C FX FY FZ or FX FY FZ TX TY TZ";
        const std::size_t at = v.size() == 4 ? 1 : 0;
        if (at == 1 && !channelOf(v[0], c)) return "no channel " + std::to_string(static_cast<long long>(v[0]));
        const brvsim::Load3 l{i32(at), i32(at + 1), i32(at + 2)};
        for (const auto& d : devices)
            for (int ch = 0; ch < channels; ++ch)
                if ((c < 0 || ch == c) && !d->setLoad(ch, l))
                    return "the counts do not fit the readings (0..65535 around FZ)";
        return std::string();
    }
    return "unknown command '" + word + "'";
}

// Reads whole lines from the control pipe and applies them; a line longer
// than 4096 bytes is dropped.
void readControl(int fd, std::string& partial, const std::vector<std::unique_ptr<brvsim::Device>>& devices) {
    char buf[4096];
    for (;;) {
        const ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        partial.append(buf, static_cast<std::size_t>(r));
    }
    std::size_t nl;
    while ((nl = partial.find('\n')) != std::string::npos) {
        const std::string line = partial.substr(0, nl);
        partial.erase(0, nl + 1);
        const std::string error = applyControl(line, devices);
        if (!error.empty()) std::fprintf(stderr, "brova-sim: control: ignored \"%s\": %s\n", line.c_str(), error.c_str());
    }
    if (partial.size() > 4096) {
        std::fprintf(stderr, "brova-sim: control: ignored a line longer than 4096 bytes\n");
        partial.clear();
    }
}

// Makes the named pipe (replacing one left by an earlier run) and opens it
// for reading, with a writer of its own so that it never reads as ended.
bool makeControl(const std::string& path, int& readFd, int& keepFd) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISFIFO(st.st_mode)) {
            errno = EEXIST;
            return false;
        }
        ::unlink(path.c_str());
    }
    if (::mkfifo(path.c_str(), 0600) != 0) return false;
    readFd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    keepFd = readFd >= 0 ? ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    if (keepFd < 0) {
        const int e = errno;
        if (readFd >= 0) ::close(readFd);
        ::unlink(path.c_str());
        errno = e;
        return false;
    }
    return true;
}

std::int64_t monotonicNs(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// Takes the send log records of every device: the frames written are kept
// for --send-log (when `kept` is given), every record goes to the frame log
// (when `frameLog` is given) as --frame-log describes it.
void drainSendLogs(const std::vector<std::unique_ptr<brvsim::Device>>& devices,
                   std::vector<std::vector<brvsim::Device::Sent>>* kept, std::FILE* frameLog) {
    using Fate = brvsim::Device::Fate;
    for (std::size_t d = 0; d < devices.size(); ++d) {
        for (const auto& s : devices[d]->sendLog()) {
            const bool written = s.fate == Fate::Sent || s.fate == Fate::Corrupted;
            if (kept && written) (*kept)[d].push_back(s);
            if (!frameLog) continue;
            const char* fate = s.fate == Fate::Sent        ? "sent"
                               : s.fate == Fate::Corrupted ? "corrupt"
                               : s.fate == Fate::Dropped   ? "dropped"
                                                           : "lost";
            std::fprintf(frameLog, "%u %lld %lld %s %zu\n", static_cast<unsigned>(s.number),
                         static_cast<long long>(monotonicNs(s.taken)),
                         static_cast<long long>(written ? monotonicNs(s.at) : 0), fate, d);
        }
    }
    if (frameLog) std::fflush(frameLog);
}

// The frames written by every device, as --send-log describes them.
bool writeSendLog(const std::string& path, const std::vector<std::vector<brvsim::Device::Sent>>& kept) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    for (std::size_t d = 0; d < kept.size(); ++d) {
        for (const auto& s : kept[d]) {
            const std::uint32_t head[2] = {static_cast<std::uint32_t>(d), s.number};
            const std::int64_t ns =
                std::chrono::duration_cast<std::chrono::nanoseconds>(s.at.time_since_epoch()).count();
            std::fwrite(head, sizeof head, 1, f);
            std::fwrite(&ns, sizeof ns, 1, f);
        }
    }
    return std::fclose(f) == 0;
}

int fail(const std::string& msg) {
    std::fprintf(stderr, "brova-sim: %s\n(see brova-sim --help)\n", msg.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    long kind = 0, rate = 0, pinRate = 0, config = -1, speed = -1, filter = -1, aux = -1, status = -1, answerAs = 0;
    long noiseAmp = 0, noiseSeed = 1;
    long saturate = 0;
    int mode = -1;
    long count = 1;
    bool log = false, auxSequence = false;
    std::string ident, link, replayFile, sendLog, frameLog;
    double clockPpm = 0.0, jitterMs = 0.0;
    long packet = -1, latencyMs = -1, seed = 1, dropEvery = 0;
    std::vector<long> load, load6;
    std::vector<std::pair<long, std::vector<long>>> channelLoads;
    std::vector<double> force, wrench;
    std::vector<std::pair<long, std::vector<double>>> channelForces;
    std::string gainFile, printCalibration, control;
    long calibrationSeed = 1;

    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        auto needInt = [&](long& out) {
            if (!parseInt(v, out)) return false;
            ++i;
            return true;
        };
        auto needText = [&](std::string& out) {
            if (!v) return false;
            out = v;
            ++i;
            return true;
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::puts("brova-sim " BRV_VERSION);
            return 0;
        } else if (a == "--kind") {
            if (!needInt(kind)) return fail("--kind needs a number");
        } else if (a == "--rate") {
            if (!needInt(rate) || (rate != 1000 && rate != 333 && rate != 100 && rate != 30))
                return fail("--rate needs 1000, 333, 100 or 30 (--pin-rate sets any pace)");
        } else if (a == "--pin-rate") {
            if (!needInt(pinRate) || pinRate <= 0) return fail("--pin-rate needs a number > 0");
        } else if (a == "--aux-sequence") {
            auxSequence = true;
        } else if (a == "--replay") {
            if (!needText(replayFile)) return fail("--replay needs a capture file");
        } else if (a == "--devices") {
            if (!needInt(count) || count < 1 || count > 1024) return fail("--devices needs 1..1024");
        } else if (a == "--send-log") {
            if (!needText(sendLog)) return fail("--send-log needs a file");
        } else if (a == "--frame-log") {
            if (!needText(frameLog)) return fail("--frame-log needs a file");
        } else if (a == "--clock-ppm") {
            if (!parseReal(v, clockPpm) || std::fabs(clockPpm) > 100000)
                return fail("--clock-ppm needs a number in -100000..100000");
            ++i;
        } else if (a == "--packet") {
            if (!needInt(packet) || packet < 1 || packet > 4096) return fail("--packet needs 1..4096 bytes");
        } else if (a == "--latency-timer") {
            if (!needInt(latencyMs) || latencyMs < 0 || latencyMs > 255)
                return fail("--latency-timer needs 0..255 ms");
        } else if (a == "--jitter-ms") {
            if (!parseReal(v, jitterMs) || jitterMs < 0 || jitterMs > 1000) return fail("--jitter-ms needs 0..1000");
            ++i;
        } else if (a == "--seed") {
            if (!needInt(seed) || seed < 0) return fail("--seed needs a number >= 0");
        } else if (a == "--drop-every") {
            if (!needInt(dropEvery) || dropEvery < 1) return fail("--drop-every needs a number >= 1");
        } else if (a == "--link") {
            if (!needText(link)) return fail("--link needs a path");
        } else if (a == "--mode") {
            if (!v || (std::strcmp(v, "raw") != 0 && std::strcmp(v, "vector") != 0))
                return fail("--mode needs raw or vector");
            mode = std::strcmp(v, "vector") == 0 ? 1 : 0;
            ++i;
        } else if (a == "--config") {
            if (!needInt(config) || config < 0 || config > 255) return fail("--config needs a byte");
        } else if (a == "--speed") {
            if (!needInt(speed) || !brvsim::isValidSpeedCode(static_cast<std::uint8_t>(speed)) || speed > 255)
                return fail("--speed needs 1, 3, 10 or 33");
        } else if (a == "--filter") {
            if (!needInt(filter) || filter < 0 || filter > 6) return fail("--filter needs 0..6");
        } else if (a == "--load") {
            if (!v || !parseList(v, load, 3)) return fail("--load needs FX,FY,FZ");
            ++i;
        } else if (a == "--channel-load") {
            const std::string s = v ? v : "";
            const auto colon = s.find(':');
            long c;
            std::vector<long> l;
            if (colon == std::string::npos || !parseInt(s.substr(0, colon).c_str(), c) ||
                !parseList(s.substr(colon + 1), l, 3))
                return fail("--channel-load needs C:FX,FY,FZ");
            channelLoads.emplace_back(c, l);
            ++i;
        } else if (a == "--load6") {
            if (!v || !parseList(v, load6, 6)) return fail("--load6 needs FX,FY,FZ,TX,TY,TZ");
            ++i;
        } else if (a == "--force") {
            if (!v || !parseRealList(v, force, 3)) return fail("--force needs FX,FY,FZ (N)");
            ++i;
        } else if (a == "--channel-force") {
            const std::string s = v ? v : "";
            const auto colon = s.find(':');
            long c;
            std::vector<double> f;
            if (colon == std::string::npos || !parseInt(s.substr(0, colon).c_str(), c) ||
                !parseRealList(s.substr(colon + 1), f, 3))
                return fail("--channel-force needs C:FX,FY,FZ (N)");
            channelForces.emplace_back(c, f);
            ++i;
        } else if (a == "--wrench") {
            if (!v || !parseRealList(v, wrench, 6)) return fail("--wrench needs FX,FY,FZ,TX,TY,TZ (N, N*m)");
            ++i;
        } else if (a == "--gain-matrix") {
            if (!needText(gainFile)) return fail("--gain-matrix needs a file");
        } else if (a == "--calibration-seed") {
            if (!needInt(calibrationSeed) || calibrationSeed < 0 || calibrationSeed > 0xFFFFFFFFL)
                return fail("--calibration-seed needs 0..4294967295");
        } else if (a == "--print-calibration") {
            if (!needText(printCalibration)) return fail("--print-calibration needs a file (or -)");
        } else if (a == "--control") {
            if (!needText(control)) return fail("--control needs a path");
        } else if (a == "--aux") {
            if (!needInt(aux) || aux < 0 || aux > 65535) return fail("--aux needs 0..65535");
        } else if (a == "--status") {
            if (!needInt(status) || status < 0 || status > 65535) return fail("--status needs 0..65535");
        } else if (a == "--ident") {
            if (!needText(ident)) return fail("--ident needs a text");
        } else if (a == "--answer-as") {
            if (!needInt(answerAs)) return fail("--answer-as needs a number");
        } else if (a == "--noise") {
            std::vector<long> n;
            const std::string s = v ? v : "";
            if (!(parseList(s, n, 1) || parseList(s, n, 2)) || n[0] < 0) return fail("--noise needs A[,SEED]");
            noiseAmp = n[0];
            if (n.size() == 2) noiseSeed = n[1];
            ++i;
        } else if (a == "--saturate") {
            if (!needInt(saturate) || saturate < 1 || saturate > 65534) return fail("--saturate needs 1..65534");
        } else if (a == "--log") {
            log = true;
        } else {
            return fail("unknown option " + a);
        }
    }
    brvsim::Capture capture;
    if (!replayFile.empty()) {
        std::string error;
        if (!brvsim::readCapture(replayFile, capture, error)) return fail(error);
        if (kind == 0) kind = capture.kind;
    }
    if (kind == 0) kind = 68;
    if (!brvsim::isStreamingKind(static_cast<int>(kind)) && !brvsim::isFramedKind(static_cast<int>(kind)))
        return fail("unknown kind " + std::to_string(kind));
    const int channels = brvsim::channelCount(static_cast<int>(kind));
    for (const auto& cf : channelForces)
        if (cf.first < 0 || cf.first >= channels)
            return fail("--channel-force: kind " + std::to_string(kind) + " has channels 0.." + std::to_string(channels - 1));
    if (!wrench.empty() && !brvsim::isSixAxisKind(static_cast<int>(kind)))
        return fail("--wrench: kind " + std::to_string(kind) + " has no six-axis sensor");

    brvsim::Calibration calibration = brvsim::makeCalibration(static_cast<std::uint32_t>(calibrationSeed));
    if (!gainFile.empty()) {
        std::string text;
        if (!readText(gainFile, text)) return fail("--gain-matrix: cannot read " + gainFile + ": " + std::strerror(errno));
        std::string error;
        if (!brvsim::parseCalibration(text, static_cast<int>(kind), calibration, error))
            return fail("--gain-matrix " + gainFile + ": " + error);
    }
    if (!printCalibration.empty()) {
        const std::string text = brvsim::formatCalibration(calibration, static_cast<int>(kind));
        if (printCalibration == "-") {
            std::fputs(text.c_str(), stdout);
            return 0;
        }
        std::ofstream out(printCalibration);
        if (!(out << text) || !(out.flush())) {
            std::fprintf(stderr, "brova-sim: cannot write %s\n", printCalibration.c_str());
            return 1;
        }
    }

    // Signals are taken by sigwait below; block them before any thread starts.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

    const bool streaming = brvsim::isStreamingKind(static_cast<int>(kind));
    // The settings of every device served; an error text, or empty.
    auto setUp = [&](brvsim::Device& dev) -> std::string {
        if (pinRate > 0) dev.setRate(static_cast<double>(pinRate));
        // The speed field (stream kinds) and speed code (framed kinds) of a rate.
        const int speedField = rate == 1000 ? 0 : rate == 333 ? 1 : rate == 30 ? 3 : 2;
        const std::uint8_t speedCode = rate == 1000 ? 1 : rate == 333 ? 3 : rate == 30 ? 33 : 10;
        if (streaming) {
            std::uint8_t c = config >= 0 ? static_cast<std::uint8_t>(config) : 0xB0;
            if (mode >= 0) c = static_cast<std::uint8_t>((c & 0xFE) | mode);
            if (rate > 0) c = static_cast<std::uint8_t>((c & ~0x18) | (speedField << 3));
            dev.setConfigByte(c);
        } else {
            if (rate > 0) dev.setRegister(brvsim::kRegSpeed, speedCode);
            if (speed >= 0) dev.setRegister(brvsim::kRegSpeed, static_cast<std::uint8_t>(speed));
            if (filter >= 0) dev.setRegister(brvsim::kRegFilter, static_cast<std::uint8_t>(filter));
            if (mode >= 0) dev.setRegister(brvsim::kRegMode, static_cast<std::uint8_t>(mode));
        }
        if (!load.empty()) {
            const brvsim::Load3 l{static_cast<std::int32_t>(load[0]), static_cast<std::int32_t>(load[1]),
                                  static_cast<std::int32_t>(load[2])};
            for (int c = 0; c < brvsim::channelCount(static_cast<int>(kind)); ++c)
                if (!dev.setLoad(c, l)) return std::string("--load does not fit the readings (0..65535 around FZ)");
        }
        for (const auto& cl : channelLoads) {
            const brvsim::Load3 l{static_cast<std::int32_t>(cl.second[0]), static_cast<std::int32_t>(cl.second[1]),
                                  static_cast<std::int32_t>(cl.second[2])};
            if (!dev.setLoad(static_cast<int>(cl.first), l)) return std::string("--channel-load: no such channel, or does not fit");
        }
        if (!load6.empty()) {
            const brvsim::Load6 l{static_cast<std::int32_t>(load6[0]), static_cast<std::int32_t>(load6[1]),
                                  static_cast<std::int32_t>(load6[2]), static_cast<std::int32_t>(load6[3]),
                                  static_cast<std::int32_t>(load6[4]), static_cast<std::int32_t>(load6[5])};
            if (!dev.setLoad6(l)) return std::string("--load6 components must lie in -32768..32767");
        }
        dev.setCalibration(calibration);
        if (!force.empty()) dev.setForceAll(force3(force));
        for (const auto& cf : channelForces) dev.setForce(static_cast<int>(cf.first), force3(cf.second));
        if (!wrench.empty()) dev.setWrench({wrench[0], wrench[1], wrench[2], wrench[3], wrench[4], wrench[5]});
        if (aux >= 0)
            for (int c = 0; c < 4; ++c) dev.setAux(c, static_cast<std::uint16_t>(aux));
        if (status >= 0) dev.setStatusWord(static_cast<std::uint16_t>(status));
        if (!ident.empty()) dev.setIdentText(ident);
        if (answerAs != 0) dev.answerAs(static_cast<int>(answerAs));
        if (noiseAmp > 0) dev.setNoise(static_cast<int>(noiseAmp), static_cast<std::uint32_t>(noiseSeed));
        if (saturate > 0) dev.setSaturation(static_cast<int>(saturate));
        dev.setAuxSequence(auxSequence);
        if (!capture.chunks.empty()) dev.setReplay(capture.chunks);
        dev.setSendLog(!sendLog.empty() || !frameLog.empty());
        if (clockPpm != 0) dev.setClockPpm(clockPpm);
        if (packet > 0 || latencyMs >= 0)
            dev.setBridge(packet > 0 ? static_cast<std::size_t>(packet) : 62,
                          std::chrono::milliseconds(latencyMs >= 0 ? latencyMs : 16));
        if (jitterMs > 0)
            dev.setJitter(std::chrono::microseconds(std::llround(jitterMs * 1000)), static_cast<std::uint64_t>(seed));
        if (dropEvery > 0) dev.dropEvery(static_cast<int>(dropEvery));
        return std::string();
    };

    std::vector<std::unique_ptr<brvsim::Device>> devices;
    for (long n = 0; n < count; ++n) {
        devices.push_back(std::make_unique<brvsim::Device>(static_cast<int>(kind)));
        const std::string error = setUp(*devices.back());
        if (!error.empty()) return fail(error);
        if (!devices.back()->start()) {
            std::fprintf(stderr, "brova-sim: cannot create a pseudo-terminal\n");
            return 1;
        }
    }
    brvsim::Device& dev = *devices.front();
    std::FILE* frameLogFile = nullptr;
    if (!frameLog.empty() && !(frameLogFile = std::fopen(frameLog.c_str(), "w"))) {
        std::fprintf(stderr, "brova-sim: cannot write %s: %s\n", frameLog.c_str(), std::strerror(errno));
        return 1;
    }
    std::vector<std::vector<brvsim::Device::Sent>> kept(static_cast<std::size_t>(count));
    auto* keptFor = sendLog.empty() ? nullptr : &kept;
    if (!link.empty()) {
        ::unlink(link.c_str());  // a link left by an earlier run
        if (::symlink(dev.portName().c_str(), link.c_str()) != 0) {
            std::fprintf(stderr, "brova-sim: cannot make the link %s: %s\n", link.c_str(), std::strerror(errno));
            return 1;
        }
    }
    int controlFd = -1, controlKeep = -1;
    if (!control.empty() && !makeControl(control, controlFd, controlKeep)) {
        std::fprintf(stderr, "brova-sim: cannot make the named pipe %s: %s\n", control.c_str(), std::strerror(errno));
        if (!link.empty()) ::unlink(link.c_str());
        return 1;
    }
    const int sigFd = signalfd(-1, &sigs, SFD_CLOEXEC);
    for (const auto& d : devices) std::printf("%s\n", d->portName().c_str());
    std::fflush(stdout);

    // Wait for the signal; apply what the control pipe brings; with --log,
    // print what the host sent meanwhile.
    std::string controlLine;
    for (;;) {
        pollfd fds[2] = {{sigFd, POLLIN, 0}, {controlFd, POLLIN, 0}};
        if (sigFd < 0) {
            timespec tick{0, 0};
            if (sigtimedwait(&sigs, nullptr, &tick) > 0) break;
        }
        const int pr = ::poll(fds, 2, 50);
        if (pr > 0 && (fds[0].revents & POLLIN)) break;
        if (pr > 0 && (fds[1].revents & POLLIN)) readControl(controlFd, controlLine, devices);
        drainSendLogs(devices, keptFor, frameLogFile);
        if (!log) continue;
        const brvsim::Bytes b = dev.received();
        if (b.empty()) continue;
        dev.clearReceived();
        std::string line;
        char hex[4];
        for (auto x : b) {
            std::snprintf(hex, sizeof hex, "%02X ", x);
            line += hex;
        }
        std::fprintf(stderr, "rx %s\n", line.c_str());
    }
    for (auto& d : devices) d->stop();
    if (!link.empty()) ::unlink(link.c_str());
    if (controlFd >= 0) {
        ::close(controlFd);
        ::close(controlKeep);
        ::unlink(control.c_str());
    }
    if (sigFd >= 0) ::close(sigFd);
    drainSendLogs(devices, keptFor, frameLogFile);
    if (frameLogFile && std::fclose(frameLogFile) != 0) {
        std::fprintf(stderr, "brova-sim: cannot write %s\n", frameLog.c_str());
        return 1;
    }
    if (!sendLog.empty() && !writeSendLog(sendLog, kept)) {
        std::fprintf(stderr, "brova-sim: cannot write %s\n", sendLog.c_str());
        return 1;
    }
    return 0;
}
