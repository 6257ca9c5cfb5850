// Parser throughput per frame kind over a full reader buffer, and the cost of
// a read call that finds nothing new.
#include <benchmark/benchmark.h>

#include <thread>

#include "brovadaq.h"
#include "brvsim.h"
#include "engine_access.h"

namespace {

using A = BrovaEngineAccess;

// A reader-buffer's worth (up to 100000 bytes) of whole frames of one kind.
std::vector<uint8_t> fill(const brvsim::Bytes& frame)
{
    std::vector<uint8_t> out;
    while (out.size() + frame.size() <= static_cast<size_t>(ReaderThread::bufferCap))
        out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

brvsim::Bytes frameOf(int kind)
{
    std::array<brvsim::UnitData, 4> units{};
    for (int u = 0; u < 4; ++u) {
        units[u].x = 100 + u;
        units[u].z = 20000;
        units[u].s = {30000, 30100, 30200, 30300, 30000, 30100, 30200, 30300};
    }
    switch (kind) {
    case 68: {
        brvsim::Frame3Axis f;
        f.x = 5;
        f.s = units[0].s;
        return brvsim::encode3Axis(f);
    }
    case 941:
    case 942: {
        brvsim::Frame4Channel f;
        f.config = kind == 942 ? 0xB1 : 0xB0;
        for (int c = 0; c < 4; ++c) {
            f.ch[c].s = {30000, 30100, 30200, 30300};
            f.ch[c].x = 10 * c;
        }
        return brvsim::encode4Channel(f);
    }
    case 95: {
        brvsim::Frame6Axis f;
        f.ft = {1, -2, 3, -4, 5, -6};
        return brvsim::encode6Axis(f);
    }
    case 31: return brvsim::encodeAddressed(brvsim::kRegData, brvsim::encodeDataPayloadV6(0, units[0]));
    case 34: return brvsim::encodeAddressed(brvsim::kRegData, brvsim::encodeDataPayloadV7(0, units));
    default: return brvsim::encodeAddressed(brvsim::kRegData, brvsim::encodeDataPayloadV8(0, {1, 2, 3, 4, 5, 6}, units));
    }
}

brova_version versionOf(int kind)
{
    switch (kind) {
    case 31: return BROVA_FRAMED_3AXIS;
    case 34: return BROVA_FRAMED_4CH;
    case 64: return BROVA_FRAMED_6AXIS;
    default: return BROVA_NONE;
    }
}

void BM_Parse(benchmark::State& state)
{
    const int kind = static_cast<int>(state.range(0));
    const brvsim::Bytes frame = frameOf(kind);
    const std::vector<uint8_t> buffer = fill(frame);
    const bool sixAxis = kind == 95 || kind == 64;
    BrovaDAQ_private engine;
    A::opened(engine, versionOf(kind));
    int64_t samples = 0;
    // Queues kept across runs and emptied before each, as the read calls do.
    A::Queue6D q6;
    A::Queues q;
    for (auto _ : state) {
        if (sixAxis) {
            q6.clear();
            samples += A::parse6D(engine, buffer, q6);
        } else {
            for (auto& c : q)
                c.clear();
            samples += A::parse(engine, buffer, q);
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(buffer.size()));
    state.SetItemsProcessed(samples);
    state.counters["frame_bytes"] = static_cast<double>(frame.size());
}
// 68 three-axis, 941/942 four-channel raw/vector, 95 six-axis, 31/34/64 data frames v6/v7/v8.
BENCHMARK(BM_Parse)->Arg(68)->Arg(941)->Arg(942)->Arg(95)->Arg(31)->Arg(34)->Arg(64)->Unit(benchmark::kMicrosecond);

BPort portOf(const brvsim::Device& dev, const char* kindText)
{
    BPort p;
    BPort::setText(p.portName, dev.portName().c_str());
    BPort::setText(p.deviceName, kindText);
    return p;
}

// read() on an open device when nothing new has arrived (the simulated device
// sends 10 frames per second, so nearly every call finds nothing).
void BM_ReadNothingNew(benchmark::State& state)
{
    brvsim::Device dev(68);
    dev.setRate(10);
    dev.start();
    BrovaDAQ daq;
    if (!daq.open(portOf(dev, "68 v1.1"), true, 1000000)) {
        state.SkipWithError("open failed");
        return;
    }
    BrovaPackage pkg;
    int64_t empty = 0;
    for (auto _ : state)
        empty += daq.read(pkg, 0, false) == 0;
    state.counters["share_empty"] = static_cast<double>(empty) / static_cast<double>(state.iterations());
    daq.close();
}
BENCHMARK(BM_ReadNothingNew)->Unit(benchmark::kNanosecond);

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A device streaming 1000 frames per second for 10 s, a caller taking every
// sample with readAll every 10 ms: the library's CPU time (the process's
// minus the simulator's serving thread) and whether every frame arrived.
void BM_StreamThroughSimulator(benchmark::State& state)
{
    const int kind = static_cast<int>(state.range(0));
    for (auto _ : state) {
        brvsim::Device dev(kind);
        dev.setRate(1000);
        dev.start();
        BrovaDAQ daq;
        const char* text = kind == 68 ? "68 v1.1" : kind == 94 ? "94 v0.9" : "34 v0.9";
        if (!daq.open(portOf(dev, text), true, 1000000)) {
            state.SkipWithError("open failed");
            return;
        }
        BrovaPackage* arr = nullptr;
        daq.readAll(arr, false);  // start counting from an empty buffer
        const uint64_t sentBefore = dev.framesSent();
        const double cpuBefore = processCpuSeconds();
        const double simBefore = dev.cpuSeconds();
        int64_t received = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const int n = daq.readAll(arr, false);
            if (n > 0)
                received += n;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const uint64_t sent = dev.framesSent() - sentBefore;
        const int n = daq.readAll(arr, false);
        if (n > 0)
            received += n;
        const double libCpu = (processCpuSeconds() - cpuBefore) - (dev.cpuSeconds() - simBefore);
        delete[] arr;
        daq.close();
        state.counters["frames_sent"] = static_cast<double>(sent);
        state.counters["frames_received"] = static_cast<double>(received);
        state.counters["library_cpu_percent"] = 100.0 * libCpu / 10.0;
    }
}
BENCHMARK(BM_StreamThroughSimulator)->Arg(68)->Arg(94)->Arg(34)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
