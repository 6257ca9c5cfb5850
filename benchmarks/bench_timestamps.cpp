// bench_timestamps: how close the library's sample stamps come to the instants
// at which the device took its samples, against plain arrival stamps.
//
// For each case a brova-sim process serves a three-axis stream device (kind
// 68) with numbered frames, a device clock off by some ppm, a USB-serial
// bridge (62-byte packets and a latency timer, as an FTDI chip) and, in the
// fault cases, delivery jitter and dropped or corrupted frames; its frame log
// gives the true instant of every frame. This process opens the port with the
// library's engine and reads every READ ms; each sample's stamp and the
// arrival of its bytes are matched to the truth by frame number.
//
// Reported per case, after a warm-up of 2 s: the stamps' error against the
// true instants (p50, p99, max of its size), the same for plain arrival
// stamps, the standard deviation of consecutive differences, the jitter
// about a straight line (what remains of the error once its constant part
// and a slope are fitted away: at low rates a bridge's timer holds every
// frame, a delay no host can see), the estimated rate against the true one
// in ppm, and the stamps out of order or later than their arrival (over the
// whole run, warm-up included).
//
//   bench_timestamps [--seconds 60] [--read-every 10] [--cases 1,2,...] [--sim PATH]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine_access.h"

namespace {

struct Case {
    const char* name;
    int rate;
    double ppm;
    int timerMs;
    double jitterMs;
    int dropEvery;
    int pinRate;  // the device's own pace, whatever it is told (0: the rate)
};

const Case kCases[] = {
    {"1000/s +200 ppm, 16 ms timer", 1000, 200, 16, 0, 0, 0},
    {"1000/s -200 ppm, 16 ms timer", 1000, -200, 16, 0, 0, 0},
    {"1000/s +200 ppm, 1 ms timer", 1000, 200, 1, 0, 0, 0},
    {"1000/s -200 ppm, 1 ms timer", 1000, -200, 1, 0, 0, 0},
    {"100/s +200 ppm, 16 ms timer", 100, 200, 16, 0, 0, 0},
    {"100/s -200 ppm, 1 ms timer", 100, -200, 1, 0, 0, 0},
    {"1000/s +100 ppm, 16 ms, 0.5 ms jitter, a frame in 500 dropped", 1000, 100, 16, 0.5, 500, 0},
    {"configured 1000/s, device at 970/s, 1 ms timer", 1000, 0, 1, 0, 0, 970},
    {"configured 1000/s, device at 500/s, 16 ms timer", 1000, 0, 16, 0, 0, 500},
};

struct Sample {
    int64_t number;  // unwrapped frame number
    int64_t stamp, arrival;
};

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
}

double stddev(const std::vector<double>& v)
{
    if (v.size() < 2)
        return 0;
    double m = 0;
    for (double x : v)
        m += x;
    m /= v.size();
    double s = 0;
    for (double x : v)
        s += (x - m) * (x - m);
    return std::sqrt(s / (v.size() - 1));
}

// Residuals of y about its least-squares line in x.
std::vector<double> aboutALine(const std::vector<double>& x, const std::vector<double>& y)
{
    double mx = 0, my = 0;
    for (size_t i = 0; i < x.size(); ++i)
        mx += x[i], my += y[i];
    mx /= x.size();
    my /= y.size();
    double sxx = 0, sxy = 0;
    for (size_t i = 0; i < x.size(); ++i)
        sxx += (x[i] - mx) * (x[i] - mx), sxy += (x[i] - mx) * (y[i] - my);
    const double b = sxx > 0 ? sxy / sxx : 0;
    std::vector<double> r;
    for (size_t i = 0; i < x.size(); ++i)
        r.push_back(y[i] - my - b * (x[i] - mx));
    return r;
}

struct Figures {
    double p50, p99, max, diffStd, lineStd, lineMax;
};

// Errors in ms of stamps (or arrivals) against the truth.
Figures figures(const std::vector<double>& truthS, const std::vector<double>& errMs, const std::vector<double>& diffMs)
{
    std::vector<double> size;
    for (double e : errMs)
        size.push_back(std::abs(e));
    const std::vector<double> line = aboutALine(truthS, errMs);
    std::vector<double> lineSize;
    for (double e : line)
        lineSize.push_back(std::abs(e));
    return {percentile(size, 0.5), percentile(size, 0.99), percentile(size, 1.0), stddev(diffMs), stddev(line),
            percentile(lineSize, 1.0)};
}

bool runCase(const Case& c, double seconds, int readEveryMs, const char* sim)
{
    char logPath[] = "/tmp/brv-truth-XXXXXX";
    const int logFd = mkstemp(logPath);
    if (logFd < 0)
        return false;
    ::close(logFd);
    std::vector<std::string> args = {sim, "--kind", "68", "--rate", std::to_string(c.rate), "--aux-sequence",
                                     "--clock-ppm", std::to_string(c.ppm), "--packet", "62", "--latency-timer",
                                     std::to_string(c.timerMs), "--frame-log", logPath};
    if (c.jitterMs > 0)
        args.insert(args.end(), {"--jitter-ms", std::to_string(c.jitterMs)});
    if (c.dropEvery > 0)
        args.insert(args.end(), {"--drop-every", std::to_string(c.dropEvery)});
    if (c.pinRate > 0)
        args.insert(args.end(), {"--pin-rate", std::to_string(c.pinRate)});
    int out[2];
    if (pipe(out) != 0)
        return false;
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 1);
        ::close(out[0]);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(sim, argv.data());
        _exit(127);
    }
    ::close(out[1]);
    char port[64] = {};
    std::FILE* simOut = fdopen(out[0], "r");
    if (!simOut || !std::fgets(port, sizeof port, simOut)) {
        std::fprintf(stderr, "bench_timestamps: brova-sim did not start\n");
        return false;
    }
    port[std::strcspn(port, "\n")] = 0;

    BrovaDAQ_private e;
    BPort p;
    BPort::setText(p.portName, port);
    BPort::setText(p.deviceName, "68 v1.1");
    std::vector<Sample> samples;
    int outOfOrder = 0, lateStamps = 0;
    double rate = 0;
    int64_t opened = 0, rateGiven = 0;
    if (e.open(p, true, 1000000)) {
        opened = ReaderThread::monotonicNow();
        const int64_t end = ReaderThread::monotonicNow() + static_cast<int64_t>(seconds * 1e9);
        BrovaPackage* arr = nullptr;
        int64_t last = 0, lastStamp = 0;
        while (ReaderThread::monotonicNow() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(readEveryMs));
            const int n = e.readAll(arr, false);
            const auto& stamps = BrovaEngineAccess::stamps(e);
            const auto& arrivals = BrovaEngineAccess::arrivals(e);
            for (int k = 0; k < n && k < static_cast<int>(stamps.size()); ++k) {
                const int64_t raw = arr[k].aux & 0xFFFF;
                const int64_t number = samples.empty() ? raw : last + ((raw - last) & 0xFFFF);
                last = number;
                outOfOrder += stamps[k] <= lastStamp;
                lateStamps += stamps[k] > arrivals[k];
                lastStamp = stamps[k];
                samples.push_back({number, stamps[k], arrivals[k]});
            }
            if (!rateGiven && e.getEstimatedRate() > 0)
                rateGiven = ReaderThread::monotonicNow();
        }
        rate = e.getEstimatedRate();
        delete[] arr;
        e.close();
    } else {
        std::fprintf(stderr, "bench_timestamps: the device did not open\n");
    }
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    std::fclose(simOut);

    // The truth: every frame's number (unwrapped in order) and instant.
    std::map<int64_t, int64_t> taken;
    if (std::FILE* log = std::fopen(logPath, "r")) {
        long long number, at, written;
        char fate[16];
        int device;
        int64_t last = -1;
        while (std::fscanf(log, "%lld %lld %lld %15s %d", &number, &at, &written, fate, &device) == 5) {
            const int64_t n = last < 0 ? number : last + ((number - last) & 0xFFFF);
            last = n;
            taken[n] = at;
        }
        std::fclose(log);
    }
    std::remove(logPath);
    if (samples.empty() || taken.empty()) {
        std::fprintf(stderr, "bench_timestamps: %s: nothing to compare\n", c.name);
        return false;
    }
    // Host numbers start wherever the device's count stood at the open: line
    // the two up by the first host frame's number within 16 bits.
    const int64_t shift = [&] {
        for (const auto& t : taken)
            if ((t.first & 0xFFFF) == (samples.front().number & 0xFFFF))
                return t.first - samples.front().number;
        return int64_t{0};
    }();

    std::vector<double> truthS, errStamp, errArrival, diffStamp, diffArrival;
    const int64_t t0 = taken.begin()->second;
    const int64_t warmup = c.pinRate > 0 ? 4000000000 : 2000000000;
    int64_t prevStamp = 0, prevArrival = 0, firstTruth = 0;
    double firstMax = 0;
    for (const Sample& s : samples) {
        const auto t = taken.find(s.number + shift);
        if (t == taken.end())
            continue;
        if (!firstTruth)
            firstTruth = t->second;
        if (t->second - firstTruth < 200000000)
            firstMax = std::max(firstMax, std::abs(s.stamp - t->second) / 1e6);
        if (t->second - t0 < warmup) {
            prevStamp = s.stamp, prevArrival = s.arrival;
            continue;
        }
        truthS.push_back((t->second - t0) / 1e9);
        errStamp.push_back((s.stamp - t->second) / 1e6);
        errArrival.push_back((s.arrival - t->second) / 1e6);
        if (prevStamp)
            diffStamp.push_back((s.stamp - prevStamp) / 1e6), diffArrival.push_back((s.arrival - prevArrival) / 1e6);
        prevStamp = s.stamp, prevArrival = s.arrival;
    }
    const Figures st = figures(truthS, errStamp, diffStamp), ar = figures(truthS, errArrival, diffArrival);
    const double trueRate = (c.pinRate > 0 ? c.pinRate : c.rate) * (1 + c.ppm * 1e-6);
    std::printf("| %s | %zu | %.3f / %.3f / %.3f | %.3f / %.3f / %.3f | %.3f | %.4f / %.4f | %.4f / %.4f | %.1f | %.2f "
                "| %d / %d |\n",
                c.name, samples.size(), st.p50, st.p99, st.max, ar.p50, ar.p99, ar.max, firstMax, st.diffStd, ar.diffStd,
                st.lineStd, st.lineMax, rate > 0 ? (rate / trueRate - 1) * 1e6 : NAN,
                rateGiven > 0 ? (rateGiven - opened) / 1e9 : NAN, outOfOrder, lateStamps);
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = 60;
    int readEvery = 10;
    std::string cases;
    const char* sim = BRV_SIM;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (a == "--read-every" && i + 1 < argc)
            readEvery = std::atoi(argv[++i]);
        else if (a == "--cases" && i + 1 < argc)
            cases = "," + std::string(argv[++i]) + ",";
        else if (a == "--sim" && i + 1 < argc)
            sim = argv[++i];
        else {
            std::fprintf(stderr, "usage: bench_timestamps [--seconds 60] [--read-every 10] [--cases 1,2,...] [--sim PATH]\n");
            return 2;
        }
    }
    std::printf("Errors in ms against the true instants after a 2 s warm-up (4 s for a device off its configured "
                "rate); reads every %d ms, %.0f s per case.\n\n",
                readEvery, seconds);
    std::printf("| case | samples | stamps: error p50 / p99 / max | arrivals: error p50 / p99 / max | stamps in the "
                "first 0.2 s: error max | consecutive differences, std: stamps / arrivals | stamps about a line: std / "
                "max | rate error, ppm | rate given after, s | out of order / later than arrival |\n"
                "|---|---|---|---|---|---|---|---|---|---|\n");
    bool ok = true;
    for (size_t i = 0; i < sizeof kCases / sizeof kCases[0]; ++i)
        if (cases.empty() || cases.find("," + std::to_string(i + 1) + ",") != std::string::npos)
            ok = runCase(kCases[i], seconds, readEvery, sim) && ok;
    return ok ? 0 : 1;
}
