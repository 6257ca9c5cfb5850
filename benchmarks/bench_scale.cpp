// bench_scale: many sensors at once. N simulated devices (served by one
// brova-sim process, so that their cost is not counted here) stream at 1000
// frames per second; this process reads them all from one host thread, in
// two ways, one after the other, for the same time:
//   library  a BrovaDAQ per device, readAll on each every 10 ms;
//   bare     the floor: a thread per port that polls it and reads into a
//            preallocated buffer under a mutex, parsing nothing, and a host
//            thread that takes the bytes every 10 ms.
// For each N it prints the samples lost (gaps in the frame numbers the
// devices put into their aux readings), the processor time of each way as a
// share of one core (the whole process: reader threads and host thread),
// their ratio, and the library's heap allocations per sample on the host
// thread (its readAll calls) and on the reader threads (counted by this
// program's own malloc, which hands every call on to the C library's). With --latency it then measures, for the library, the time
// from a frame's write by the device to the host's read that returns it,
// with the host reading every millisecond.
//
// With --repeat R each way runs R times, alternately, and the medians are
// printed (this machine's other load makes single runs vary). With --pin the
// devices' process runs on the last processor and this one on the first, so
// that the two do not take turns on the same one.
//
// With --qt-floor a third way runs too: the bare reader's work done through
// Qt SerialPort, the floor of what the library's reader may use.
//
//   bench_scale [--devices 1,16,64] [--seconds 5] [--repeat 1] [--pin] [--qt-floor] [--latency] [--sim PATH]
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <QSerialPort>
#include <QThread>

#include "brovadaq.h"

extern char** environ;

// Counting allocations: every malloc, calloc and realloc of the process
// (Qt's and the library's included) goes through these.
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
namespace {
std::atomic<long> g_hostAllocs{0}, g_otherAllocs{0};
thread_local bool t_host = false;
void counted() { (t_host ? g_hostAllocs : g_otherAllocs).fetch_add(1, std::memory_order_relaxed); }
} // namespace
extern "C" void* malloc(size_t n)
{
    counted();
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t a, size_t b)
{
    counted();
    return __libc_calloc(a, b);
}
extern "C" void* realloc(void* p, size_t n)
{
    counted();
    return __libc_realloc(p, n);
}

namespace {

using Clock = std::chrono::steady_clock;

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A brova-sim process serving n devices; its port paths.
struct Farm {
    pid_t pid = -1;
    std::vector<std::string> ports;

    Farm(const std::string& sim, int n, const std::string& sendLog, bool pin)
    {
        int out[2];
        if (pipe(out) != 0)
            std::abort();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<std::string> args = {sim, "--kind", "68", "--devices", std::to_string(n), "--pin-rate", "1000",
                                         "--aux-sequence"};
        const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
        if (pin && cpus > 1)
            args.insert(args.begin(), {"/usr/bin/taskset", "-c", std::to_string(cpus - 1)});
        if (!sendLog.empty())
            args.insert(args.end(), {"--send-log", sendLog});
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            std::fprintf(stderr, "bench_scale: cannot start %s\n", sim.c_str());
            std::exit(1);
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        FILE* f = fdopen(out[0], "r");
        char line[256];
        while (static_cast<int>(ports.size()) < n && fgets(line, sizeof line, f)) {
            line[strcspn(line, "\n")] = '\0';
            ports.push_back(line);
        }
        fclose(f);
    }
    ~Farm() { stop(); }
    void stop()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
};

struct LibraryRun {
    double cpu = 0, hostCpu = 0;  // the process's, and the host thread's alone
    long samples = 0, lost = 0;
    long hostAllocs = 0, readerAllocs = 0;  // during the measured time
    // (device, frame number) -> when the host's read returned it
    std::map<std::pair<int, int>, Clock::time_point> readAt;
};

LibraryRun runLibrary(const std::vector<std::string>& ports, double seconds, int periodUs, bool keepTimes)
{
    std::vector<std::unique_ptr<BrovaDAQ>> daqs;
    for (const auto& p : ports) {
        auto d = std::make_unique<BrovaDAQ>();
        BPort port;
        BPort::setText(port.portName, p.c_str());
        BPort::setText(port.deviceName, "68 v1.1");
        if (!d->open(port, true, 1000000)) {
            std::fprintf(stderr, "bench_scale: %s did not open\n", p.c_str());
            std::exit(1);
        }
        daqs.push_back(std::move(d));
    }
    std::vector<BrovaPackage*> arrays(daqs.size(), nullptr);
    std::vector<int> last(daqs.size(), -1);
    for (size_t i = 0; i < daqs.size(); ++i)
        daqs[i]->readAll(arrays[i], false);  // what came while opening
    LibraryRun run;
    t_host = true;
    const long host0 = g_hostAllocs, other0 = g_otherAllocs;
    const double cpu0 = cpuSeconds(), hostCpu0 = threadCpuSeconds();
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    auto next = Clock::now();
    while (Clock::now() < end) {
        next += std::chrono::microseconds(periodUs);
        std::this_thread::sleep_until(next);
        for (size_t i = 0; i < daqs.size(); ++i) {
            const int n = daqs[i]->readAll(arrays[i], false);
            const auto now = Clock::now();
            for (int k = 0; k < n; ++k) {
                const int number = arrays[i][k].aux & 0xFFFF;
                if (last[i] >= 0)
                    run.lost += ((number - last[i]) & 0xFFFF) - 1;
                last[i] = number;
                if (keepTimes)
                    run.readAt[{static_cast<int>(i), number}] = now;
            }
            run.samples += std::max(n, 0);
        }
    }
    run.cpu = (cpuSeconds() - cpu0) / seconds;
    run.hostCpu = (threadCpuSeconds() - hostCpu0) / seconds;
    run.hostAllocs = g_hostAllocs - host0;
    run.readerAllocs = g_otherAllocs - other0;
    t_host = false;
    for (size_t i = 0; i < daqs.size(); ++i) {
        daqs[i]->close();
        delete[] arrays[i];
    }
    return run;
}

// The floor: poll, read into a preallocated buffer under a mutex, nothing
// else. With qt, the same through Qt SerialPort (waitForReadyRead and read,
// on a QThread), as the library must read: the floor of its dependency.
double runBare(const std::vector<std::string>& ports, double seconds, long& bytes, bool qt = false)
{
    struct Port {
        int fd = -1;
        std::mutex lock;
        std::vector<char> buffer = std::vector<char>(100000);
        size_t length = 0;
    };
    std::vector<std::unique_ptr<Port>> all;
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    std::vector<std::unique_ptr<QThread>> qtReaders;
    for (const auto& p : ports) {
        all.push_back(std::make_unique<Port>());
        Port& port = *all.back();
        if (qt) {
            qtReaders.emplace_back(QThread::create([&port, &stop, p] {
                QSerialPort serial(QString::fromStdString(p));
                serial.open(QIODevice::ReadWrite);
                while (!stop) {
                    if (!serial.waitForReadyRead(550))
                        continue;
                    std::lock_guard<std::mutex> hold(port.lock);
                    const qint64 n = std::min<qint64>(serial.bytesAvailable(),
                                                      static_cast<qint64>(port.buffer.size() - 4096 - port.length));
                    port.length += static_cast<size_t>(std::max<qint64>(serial.read(port.buffer.data() + port.length, n), 0));
                }
            }));
            qtReaders.back()->start();
            continue;
        }
        port.fd = open(p.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        readers.emplace_back([&port, &stop] {
            pollfd pf{port.fd, POLLIN, 0};
            while (!stop) {
                if (poll(&pf, 1, 550) <= 0)
                    continue;
                std::lock_guard<std::mutex> hold(port.lock);
                const ssize_t r = read(port.fd, port.buffer.data() + port.length, port.buffer.size() - port.length);
                if (r > 0)
                    port.length = std::min(port.length + static_cast<size_t>(r), port.buffer.size() - 4096);
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bytes = 0;
    const double cpu0 = cpuSeconds();
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    auto next = Clock::now();
    while (Clock::now() < end) {
        next += std::chrono::milliseconds(10);
        std::this_thread::sleep_until(next);
        for (auto& p : all) {
            std::lock_guard<std::mutex> hold(p->lock);
            bytes += static_cast<long>(p->length);
            p->length = 0;
        }
    }
    const double cpu = (cpuSeconds() - cpu0) / seconds;
    stop = true;
    for (auto& t : readers)
        t.join();
    for (auto& t : qtReaders)
        t->wait();
    for (auto& p : all)
        if (p->fd >= 0)
            close(p->fd);
    return cpu;
}

std::vector<int> parseList(const std::string& s)
{
    std::vector<int> out;
    std::stringstream in(s);
    for (std::string item; std::getline(in, item, ',');)
        out.push_back(std::atoi(item.c_str()));
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<int> counts = {1, 16, 64};
    double seconds = 5;
    int repeat = 1;
    bool latency = false;
    std::string only;  // "library" or "bare": that way alone (for profiling)
    bool pin = false;
    bool qtFloor = false;  // also the floor through Qt SerialPort
    std::string sim = BRV_SIM;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--devices" && i + 1 < argc)
            counts = parseList(argv[++i]);
        else if (a == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (a == "--repeat" && i + 1 < argc)
            repeat = std::max(1, std::atoi(argv[++i]));
        else if (a == "--only" && i + 1 < argc)
            only = argv[++i];
        else if (a == "--pin")
            pin = true;
        else if (a == "--qt-floor")
            qtFloor = true;
        else if (a == "--latency")
            latency = true;
        else if (a == "--sim" && i + 1 < argc)
            sim = argv[++i];
        else {
            std::fprintf(stderr, "usage: bench_scale [--devices 1,16,64] [--seconds S] [--repeat R] [--pin] [--qt-floor] [--latency] "
                                 "[--sim PATH]\n");
            return 2;
        }
    }
    if (pin) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(0, &set);
        sched_setaffinity(0, sizeof set, &set);
    }
    std::printf("devices  samples/s  lost  library CPU (host thread)  bare reader CPU  ratio  "
                "allocations per sample: host, readers\n");
    for (int n : counts) {
        Farm farm(sim, n, "", pin);
        std::vector<LibraryRun> libs;
        std::vector<double> bares, qts;
        long lost = 0;
        for (int r = 0; r < repeat; ++r) {
            if (only != "bare") {
                libs.push_back(runLibrary(farm.ports, seconds, 10000, false));
                lost += libs.back().lost;
            } else {
                libs.emplace_back();
            }
            long bytes = 0;
            bares.push_back(only != "library" ? runBare(farm.ports, seconds, bytes) : 1.0);
            qts.push_back(qtFloor ? runBare(farm.ports, seconds, bytes, true) : 0.0);
        }
        std::sort(qts.begin(), qts.end());
        std::sort(libs.begin(), libs.end(), [](const LibraryRun& a, const LibraryRun& b) { return a.cpu < b.cpu; });
        std::sort(bares.begin(), bares.end());
        LibraryRun lib = libs[libs.size() / 2];
        lib.lost = lost;
        const double bare = bares[bares.size() / 2];
        std::printf("%7d  %9.0f  %4ld  %9.1f %% (%4.1f %%)  %13.1f %%  %5.2f  %.3f, %.3f\n", n, lib.samples / seconds,
                    lib.lost, 100 * lib.cpu, 100 * lib.hostCpu, 100 * bare, lib.cpu / bare,
                    double(lib.hostAllocs) / std::max(lib.samples, 1L),
                    double(lib.readerAllocs) / std::max(lib.samples, 1L));
        if (qtFloor)
            std::printf("         the floor through Qt SerialPort: %.1f %% (the library %.2f times that)\n",
                        100 * qts[qts.size() / 2], lib.cpu / qts[qts.size() / 2]);
        std::fflush(stdout);
    }
    if (!latency)
        return 0;
    // Latency: the library read every millisecond; the device's send times
    // come from its send log.
    const int n = counts.back();
    const std::string log = "/tmp/bench_scale_send_" + std::to_string(getpid());
    Farm farm(sim, n, log, pin);
    const LibraryRun lib = runLibrary(farm.ports, seconds, 1000, true);
    farm.stop();
    FILE* f = fopen(log.c_str(), "rb");
    std::vector<double> ms;
    struct {
        uint32_t device, number;
        int64_t ns;
    } rec;
    while (f && fread(&rec, 16, 1, f) == 1) {
        auto it = lib.readAt.find({static_cast<int>(rec.device), static_cast<int>(rec.number)});
        if (it != lib.readAt.end())
            ms.push_back((it->second.time_since_epoch().count() - rec.ns) / 1e6);
    }
    if (f)
        fclose(f);
    unlink(log.c_str());
    std::sort(ms.begin(), ms.end());
    if (ms.empty())
        return 1;
    auto pct = [&](double p) { return ms[std::min(ms.size() - 1, static_cast<size_t>(p * ms.size()))]; };
    std::printf("latency, %d devices, read every 1 ms: %zu samples, p50 %.2f ms, p99 %.2f ms, max %.2f ms; lost %ld\n",
                n, ms.size(), pct(0.5), pct(0.99), ms.back(), lib.lost);
    return 0;
}
