// The flat interface, used as a host would: through the C-linkage functions
// only, against the simulator.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "brvsim.h"
#include "cs_export.h"

extern "C" int brv_c_layout(long* out, int capacity);
extern "C" int brv_c_without_device(void);

using namespace std::chrono_literals;

namespace {

std::string kindText(int kind)
{
    switch (kind) {
    case 68: return "68 v1.1";
    case 95: return "95 v1.0";
    default: return std::to_string(kind) + " v0.9";
    }
}

std::unique_ptr<brvsim::Device> device(int kind)
{
    auto dev = std::make_unique<brvsim::Device>(kind);
    dev->setRate(1000);
    for (int c = 0; c < brvsim::channelCount(kind); ++c)
        dev->setLoad(c, {100 * (c + 1), -50 * (c + 1), 20000 + c});
    dev->setLoad6({-1000, 2000, -3000, 400, -500, 600});
    EXPECT_TRUE(dev->start());
    return dev;
}

template <class Read>
int readSome(Read read)
{
    for (int i = 0; i < 200; ++i) {
        const int n = read();
        if (n > 0)
            return n;
        std::this_thread::sleep_for(5ms);
    }
    return 0;
}

} // namespace

TEST(FlatInterface, CHeaderRecordsMirrorTheLibrarys)
{
    long c[32] = {};
    const int n = brv_c_layout(c, 32);
    const long cpp[] = {
        static_cast<long>(sizeof(SensorConfig)),
        static_cast<long>(sizeof(BrovaPackage)),
        static_cast<long>(offsetof(BrovaPackage, s1)),
        static_cast<long>(offsetof(BrovaPackage, s8)),
        static_cast<long>(offsetof(BrovaPackage, x)),
        static_cast<long>(offsetof(BrovaPackage, x2)),
        static_cast<long>(offsetof(BrovaPackage, inconsistent)),
        static_cast<long>(offsetof(BrovaPackage, aux)),
        static_cast<long>(offsetof(BrovaPackage, config)),
        static_cast<long>(offsetof(BrovaPackage, version)),
        static_cast<long>(sizeof(BrovaPackage6D)),
        static_cast<long>(offsetof(BrovaPackage6D, Tx)),
        static_cast<long>(offsetof(BrovaPackage6D, sensor1)),
        static_cast<long>(offsetof(BrovaPackage6D, sensor4)),
        static_cast<long>(sizeof(bool)),
        static_cast<long>(sizeof(BrovaStatistics)),
        static_cast<long>(offsetof(BrovaStatistics, bytesDiscarded)),
    };
    ASSERT_EQ(n, static_cast<int>(sizeof cpp / sizeof cpp[0]));
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(c[i], cpp[i]) << "entry " << i;
}

TEST(FlatInterface, CHostWithoutADevice)
{
    EXPECT_EQ(brv_c_without_device(), 0);
}

TEST(FlatInterface, WholeCycleForEveryKind)
{
    for (int kind : {68, 94, 95, 31, 34, 64}) {
        SCOPED_TRACE(kind);
        auto dev = device(kind);
        brv_daq* daq = callBrovaDAQ_Create();
        ASSERT_NE(daq, nullptr);
        ASSERT_TRUE(callOpen(daq, dev->portName().c_str(), kindText(kind).c_str()));
        EXPECT_TRUE(callIsOpen(daq));
        EXPECT_STREQ(callGetPortName(daq), dev->portName().c_str());
        EXPECT_TRUE(callIsChksumOK(daq));
        const bool sixAxis = kind == 95 || kind == 64;
        const bool four = kind == 94 || kind == 34;

        // filter, speed, mode applied in that order onto a default byte.
        EXPECT_TRUE(callSendConfig(daq, 0, 1000, 50));
        brv_config c{};
        callGetConfig(daq, &c);
        EXPECT_EQ((c.value >> 3) & 3, 0);  // 1000 per second
        EXPECT_EQ((c.value >> 1) & 3, 2);  // 50 Hz

        if (sixAxis) {
            BrovaPackage6D s;
            ASSERT_GT(readSome([&] { return callRead6D(daq, &s, false); }), 0);
            EXPECT_EQ(s.Fx, -1000);
            callZeroAll(daq);
            ASSERT_GT(readSome([&] { return callRead6D(daq, &s, false); }), 0);
            EXPECT_EQ(s.Fx, 0);
            callUnzeroAll(daq);
            ASSERT_GT(readSome([&] { return callRead6D(daq, &s, false); }), 0);
            EXPECT_EQ(s.Tz, 600);
        } else {
            BrovaPackage pkg;
            ASSERT_GT(readSome([&] { return callRead(daq, &pkg, 0, false); }), 0);
            EXPECT_EQ(pkg.x, 100);
            EXPECT_TRUE(callZero(daq, 0));
            ASSERT_GT(readSome([&] { return callRead(daq, &pkg, 0, false); }), 0);
            EXPECT_EQ(pkg.x, 0);
            EXPECT_TRUE(callUnzero(daq, 0));
            int values[8];
            ASSERT_GT(readSome([&] { return callReadArray(daq, values, false); }), 0);
            EXPECT_EQ(values[4], 100);
            BrovaPackage pkgs[16];
            ASSERT_GT(readSome([&] { return callReadVirtual(daq, pkgs, false); }), 0);
            int grid[128];
            ASSERT_GT(readSome([&] { return callReadVirtualArray(daq, grid, false); }), 0);
            EXPECT_EQ(grid[0], 100);
            EXPECT_EQ(callIsVirtual(daq), four);
            int six[6] = {1, 2, 3, 4, 5, 6};
            if (!four) {
                EXPECT_EQ(callRead6Axis(daq, six, false), -3);  // one channel only
                EXPECT_EQ(six[0], 1);
            }

            // Two readAll calls reuse and resize one array; one release frees it.
            brv_package* arr = nullptr;
            std::this_thread::sleep_for(15ms);
            const int n1 = callReadAll(daq, &arr, false);
            std::this_thread::sleep_for(25ms);
            const int n2 = callReadAll(daq, &arr, false);
            ASSERT_GT(n2, 0);
            (void)n1;
            EXPECT_EQ(reinterpret_cast<const uint64_t*>(arr)[-1],
                      static_cast<uint64_t>(n2 * callGetSensorSize(daq)));
            callDeletePackageArray(&arr);
            if (four) {
                int* groups = nullptr;
                std::this_thread::sleep_for(15ms);
                const int g = callReadAll6Axis(daq, &groups, false);
                ASSERT_NE(groups, nullptr);
                EXPECT_GE(g, 0);
                std::this_thread::sleep_for(15ms);
                const int g2 = callReadAll6Axis(daq, &groups, false);  // frees the first itself
                ASSERT_GT(g2, 0);
                EXPECT_EQ(groups[0], 250);
                callDeleteIntArray(&groups);
            }
        }
        callClose(daq);
        EXPECT_FALSE(callIsOpen(daq));
        brv_statistics stats{};
        callGetStatistics(daq, &stats);  // kept after close
        EXPECT_GT(stats.framesAccepted, 0u);
        EXPECT_GT(stats.bytesReceived, stats.framesAccepted);
        callBrovaDAQ_Dispose(daq);
    }
}

TEST(FlatInterface, LongTextsAreCutNotOverrun)
{
    brv_daq* daq = callBrovaDAQ_Create();
    const std::string longName = "/dev/" + std::string(60, 'x');
    const std::string longKind = "68 " + std::string(60, 'v');
    EXPECT_FALSE(callOpen(daq, longName.c_str(), longKind.c_str()));  // no such port
    EXPECT_FALSE(callOpen(daq, nullptr, nullptr));
    callBrovaDAQ_Dispose(daq);
}

TEST(FlatInterface, TruthValuesFillTheWholeRegister)
{
    // A host that reads a four-byte result (C#'s default bool marshalling)
    // must see exactly 0 or 1: brv_truth is the whole 32-bit int.
    static_assert(std::is_same<decltype(callIsOpen(nullptr)), int32_t>::value, "brv_truth is 32 bits");
    auto dev = device(94);
    brv_daq* daq = callBrovaDAQ_Create();
    EXPECT_EQ(callIsOpen(daq), 0);
    EXPECT_EQ(callZero(daq, 0), 0);
    EXPECT_EQ(callOpen(daq, "", "94 v0.9"), 0);
    ASSERT_EQ(callOpen(daq, dev->portName().c_str(), "94 v0.9"), 1);
    EXPECT_EQ(callIsOpen(daq), 1);
    EXPECT_EQ(callIsChksumOK(daq), 1);
    EXPECT_EQ(callIsVirtual(daq), 1);
    EXPECT_EQ(callZero(daq, 3), 1);
    EXPECT_EQ(callZero(daq, 4), 0);
    EXPECT_EQ(callUnzero(daq, 3), 1);
    EXPECT_EQ(callUnzero(daq, -1), 0);
    EXPECT_EQ(callSendConfig(daq, 0, 333, 0), 1);
    dev->setAnswering(false);
    EXPECT_EQ(callSendConfig(daq, 0, 30, 0), 0);
    callClose(daq);
    callBrovaDAQ_Dispose(daq);

    brv_ports* ports = callBrovaPorts_Create();
    EXPECT_EQ(callIsNewPort(ports), 0);
    EXPECT_EQ(callIsLostPort(ports), 0);
    callBrovaPorts_Dispose(ports);
}

namespace {
int64_t monotonicNow()
{
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}
} // namespace

TEST(FlatInterface, StampsOfTheLastRead)
{
    auto dev = device(94);
    brv_daq* daq = callBrovaDAQ_Create();
    ASSERT_TRUE(callOpen(daq, dev->portName().c_str(), "94 v0.9"));
    ASSERT_TRUE(callSendConfig(daq, 0, 1000, 0));  // the pace the simulator keeps
    brv_package* arr = nullptr;
    ASSERT_GT(readSome([&] { return callReadAll(daq, &arr, false); }), 0);
    std::vector<int64_t> first(static_cast<size_t>(callGetStamps(daq, nullptr, 0)));
    ASSERT_FALSE(first.empty());
    callGetStamps(daq, first.data(), static_cast<int32_t>(first.size()));
    const int64_t previous = first.back();
    std::this_thread::sleep_for(20ms);

    // One stamp per sample instant, strictly increasing across reads, none
    // later than now; nothing written past the count.
    const int n = callReadAll(daq, &arr, false);
    ASSERT_GT(n, 2);
    const int64_t now = monotonicNow();
    EXPECT_EQ(callGetStamps(daq, nullptr, 0), n);
    std::vector<int64_t> s(static_cast<size_t>(n) + 2, -7);
    ASSERT_EQ(callGetStamps(daq, s.data(), n + 2), n);
    EXPECT_EQ(s[n], -7);
    EXPECT_EQ(s[n + 1], -7);
    EXPECT_GT(s[0], previous);
    for (int k = 1; k < n; ++k)
        ASSERT_GT(s[k], s[k - 1]) << k;
    EXPECT_LE(s[n - 1], now);
    EXPECT_GT(s[n - 1], now - 2000000000LL);  // nanoseconds of the same clock

    // A smaller capacity copies only that many, and still counts them all.
    int64_t two[4] = {-7, -7, -7, -7};
    EXPECT_EQ(callGetStamps(daq, two, 2), n);
    EXPECT_EQ(two[0], s[0]);
    EXPECT_EQ(two[1], s[1]);
    EXPECT_EQ(two[2], -7);

    // The newest-sample reads hand out one stamp.
    int values[8];
    ASSERT_GT(readSome([&] { return callReadArray(daq, values, false); }), 0);
    int64_t newest = 0;
    EXPECT_EQ(callGetStamps(daq, &newest, 1), 1);
    EXPECT_GT(newest, s[n - 1]);
    callDeletePackageArray(&arr);

    // The rate: known after about a second of samples (the simulator's 1000
    // per second, however the reads are spaced).
    double rate = 0;
    for (int i = 0; i < 500 && rate == 0; ++i) {
        std::this_thread::sleep_for(10ms);
        ASSERT_GE(callReadArray(daq, values, false), 0);
        rate = callGetEstimatedRate(daq);
    }
    EXPECT_NEAR(rate, 1000.0, 50.0);
    callBrovaDAQ_Dispose(daq);
}
