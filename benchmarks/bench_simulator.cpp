// Simulator rate and CPU: each device kind at 1000 frames per second for
// 10 s (BRVSIM_BENCH_SECONDS overrides), read by a plain host thread on the
// pty slave. Counters:
//   fps           frames the device sent per second over the window
//   rate_err_pct  (fps - 1000) / 1000, in percent
//   host_fps      frames' worth of bytes the host received per second
//   sim_cpu_pct   CPU time of the serving thread / wall time, in percent
//   cpu_us_frame  CPU time of the serving thread per frame, in microseconds
#include "brvsim.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

double windowSeconds() {
    const char* s = std::getenv("BRVSIM_BENCH_SECONDS");
    const double v = s ? std::atof(s) : 0.0;
    return v > 0 ? v : 10.0;
}

std::size_t frameLength(int kind) {
    switch (kind) {
    case 68: return brvsim::kLen3Axis;
    case 94: return brvsim::kLen4ChannelRaw;
    case 95: return brvsim::kLen6Axis;
    case 31: return brvsim::addressedLength(brvsim::kPayloadV6);
    case 34: return brvsim::addressedLength(brvsim::kPayloadV7);
    default: return brvsim::addressedLength(brvsim::kPayloadV8);
    }
}

void BM_Rate1000(benchmark::State& state) {
    const int kind = static_cast<int>(state.range(0));
    const double seconds = windowSeconds();
    for (auto _ : state) {
        brvsim::Device dev(kind);
        dev.setRate(1000);
        if (!dev.start()) {
            state.SkipWithError("no pty");
            return;
        }
        std::atomic<bool> stop{false};
        std::atomic<std::uint64_t> received{0};
        const std::string path = dev.portName();
        std::thread reader([&] {
            const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (fd < 0) return;
            termios t{};
            tcgetattr(fd, &t);
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
            char buf[8192];
            while (!stop) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 50) > 0) {
                    const ssize_t r = ::read(fd, buf, sizeof buf);
                    if (r > 0) received += static_cast<std::uint64_t>(r);
                }
            }
            ::close(fd);
        });
        dev.waitForHostOpens(1, std::chrono::seconds(2));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // settle

        const auto t0 = std::chrono::steady_clock::now();
        const auto f0 = dev.framesSent();
        const auto r0 = received.load();
        const double c0 = dev.cpuSeconds();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const auto t1 = std::chrono::steady_clock::now();
        const auto f1 = dev.framesSent();
        const auto r1 = received.load();
        const double c1 = dev.cpuSeconds();
        stop = true;
        reader.join();
        dev.stop();

        const double wall = std::chrono::duration<double>(t1 - t0).count();
        const double fps = static_cast<double>(f1 - f0) / wall;
        state.SetIterationTime(wall);
        state.counters["fps"] = fps;
        state.counters["rate_err_pct"] = (fps - 1000.0) / 10.0;
        state.counters["host_fps"] = static_cast<double>(r1 - r0) / static_cast<double>(frameLength(kind)) / wall;
        state.counters["sim_cpu_pct"] = 100.0 * (c1 - c0) / wall;
        state.counters["cpu_us_frame"] = f1 > f0 ? 1e6 * (c1 - c0) / static_cast<double>(f1 - f0) : 0.0;
        state.counters["dropped"] = static_cast<double>(dev.framesDropped());
    }
}

BENCHMARK(BM_Rate1000)
    ->ArgName("kind")
    ->Arg(68)
    ->Arg(94)
    ->Arg(95)
    ->Arg(31)
    ->Arg(34)
    ->Arg(64)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
