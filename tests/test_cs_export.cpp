// The flat interface, used as a host would: through the C-linkage functions
// only, against the simulator.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <ctime>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "brvsim.h"
#include "cs_export.h"

extern "C" int brv_c_layout(long* out, int capacity);
extern "C" int brv_c_without_device(void);
extern "C" int brv_c_calibration_without_file(const char* missing);

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
    // per second, however the reads are spaced), and then within the 0.1 %
    // that establishes it.
    double rate = 0;
    for (int i = 0; i < 500 && rate == 0; ++i) {
        std::this_thread::sleep_for(10ms);
        ASSERT_GE(callReadArray(daq, values, false), 0);
        rate = callGetEstimatedRate(daq);
    }
    EXPECT_NEAR(rate, 1000.0, 1.0);
    callBrovaDAQ_Dispose(daq);
}

namespace {

// A calibration file of a four-channel device: channel 0 over x, y, z,
// channel 2 over s1, s2, and a six-axis part over the channels' fields.
const char* kCalibration = R"({
  "format": "brova-calibration", "version": 1,
  "identity": {"kind": 34, "identification": "CAL-A", "serial": "S-17"},
  "units": {"force": "N", "torque": "N*m"},
  "channels": [
    {"channel": 0, "inputs": ["x", "y", "z"],
     "matrix": [[0.5, 0, 0], [0, 0.25, 0], [0, 0, 0.001]], "bias": [1, 2, 3]},
    {"channel": 2, "inputs": ["s1", "s2"],
     "matrix": [[0.1, 0], [0, 0.2], [0.1, 0.1]], "bias": [-1, 0, 4]}],
  "sixAxis": {"inputs": ["sensor1.x", "sensor2.y", "sensor3.z", "sensor4.x", "sensor1.y", "sensor2.z"],
    "matrix": [[0.01, 0, 0, 0, 0, 0], [0, 0.02, 0, 0, 0, 0], [0, 0, 0.03, 0, 0, 0],
               [0, 0, 0, 0.004, 0, 0], [0, 0, 0, 0, 0.005, 0], [0, 0, 0, 0, 0, 0.006]],
    "bias": [0.1, 0.2, 0.3, 0.4, 0.5, 0.6]}
})";

std::string writeFile(const std::string& name, const std::string& text)
{
    const std::string path = testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

std::string take(char* text)
{
    std::string copy = text ? text : "(null)";
    callDeleteText(&text);
    return copy;
}

} // namespace

TEST(FlatInterface, CalibrationTurnsReadAllArraysIntoNewtons)
{
    char* error = nullptr;
    brv_calibration* cal = callCalibration_Load(writeFile("cal-a.json", kCalibration).c_str(), &error);
    ASSERT_NE(cal, nullptr) << take(error);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(callCalibration_Kind(cal), 34);
    EXPECT_EQ(take(callCalibration_Identification(cal)), "CAL-A");
    EXPECT_EQ(take(callCalibration_Serial(cal)), "S-17");
    EXPECT_EQ(take(callCalibration_Inputs(cal, 2)), "s1,s2");
    EXPECT_EQ(take(callCalibration_Inputs(cal, 1)), "");
    EXPECT_EQ(take(callCalibration_Inputs(cal, -1)).rfind("sensor1.x,sensor2.y,", 0), 0u);

    EXPECT_EQ(callCalibration_Matches(cal, 34, "CAL-A"), 1);
    EXPECT_EQ(callCalibration_Matches(cal, 34, nullptr), 1);
    EXPECT_EQ(callCalibration_Matches(cal, 34, "CAL-B"), 0);
    EXPECT_NE(take(callCalibration_Error(cal)).find("identification"), std::string::npos);
    EXPECT_EQ(callCalibration_Matches(cal, 94, "CAL-A"), 0);
    EXPECT_NE(take(callCalibration_Error(cal)).find("kind"), std::string::npos);

    // Four channels of two samples, channel-major as callReadAll hands them out.
    const int n = 2;
    std::vector<BrovaPackage> arr(4 * n);
    for (int c = 0; c < 4; ++c)
        for (int k = 0; k < n; ++k) {
            BrovaPackage& p = arr[c * n + k];
            p.x = 100 * (c + 1) + k;
            p.y = -50 * (c + 1);
            p.z = 20000 + c;
            p.s1 = 10 * (c + 1) + k;
            p.s2 = 7;
        }
    for (bool tared : {false, true}) {
        SCOPED_TRACE(tared);
        const double on = tared ? 0.0 : 1.0;  // the bias counts untared only
        std::vector<double> f(n * 4 * 3, -1.0);
        ASSERT_EQ(callCalibration_ApplyForces(cal, arr.data(), n, 4, tared, f.data()), n);
        for (int k = 0; k < n; ++k) {
            const double* c0 = &f[(k * 4 + 0) * 3];
            EXPECT_DOUBLE_EQ(c0[0], 0.5 * (100 + k) + on * 1);
            EXPECT_DOUBLE_EQ(c0[1], 0.25 * -50 + on * 2);
            EXPECT_DOUBLE_EQ(c0[2], 0.001 * 20000 + on * 3);
            const double* c2 = &f[(k * 4 + 2) * 3];
            EXPECT_DOUBLE_EQ(c2[0], 0.1 * (30 + k) - on * 1);
            EXPECT_DOUBLE_EQ(c2[1], 0.2 * 7);
            EXPECT_DOUBLE_EQ(c2[2], 0.1 * (30 + k) + 0.1 * 7 + on * 4);
            for (int c : {1, 3})
                for (int j = 0; j < 3; ++j)
                    EXPECT_TRUE(std::isnan(f[(k * 4 + c) * 3 + j])) << c;
        }

        // The six-axis part, from the four channels and from six-axis records
        // carrying the same samples as units: the same wrenches.
        std::vector<double> w(n * 6, -1.0), w6(n * 6, -1.0);
        ASSERT_EQ(callCalibration_ApplyWrenchesFromChannels(cal, arr.data(), n, tared, w.data()), n);
        std::vector<BrovaPackage6D> six(n);
        for (int k = 0; k < n; ++k) {
            six[k].sensor1 = arr[0 * n + k];
            six[k].sensor2 = arr[1 * n + k];
            six[k].sensor3 = arr[2 * n + k];
            six[k].sensor4 = arr[3 * n + k];
        }
        ASSERT_EQ(callCalibration_ApplyWrenches(cal, six.data(), n, tared, w6.data()), n);
        for (int k = 0; k < n; ++k) {
            const double want[6] = {0.01 * (100 + k) + on * 0.1, 0.02 * -100 + on * 0.2, 0.03 * 20002 + on * 0.3,
                                    0.004 * (400 + k) + on * 0.4, 0.005 * -50 + on * 0.5, 0.006 * 20001 + on * 0.6};
            for (int j = 0; j < 6; ++j) {
                EXPECT_NEAR(w[k * 6 + j], want[j], 1e-12) << k << " " << j;
                EXPECT_NEAR(w6[k * 6 + j], want[j], 1e-12) << k << " " << j;
            }
        }
    }

    // Bad arguments: a negative code, nothing written.
    double out[12] = {-1};
    EXPECT_EQ(callCalibration_ApplyForces(cal, arr.data(), -1, 4, false, out), -1);
    EXPECT_EQ(callCalibration_ApplyForces(cal, arr.data(), n, 0, false, out), -1);
    EXPECT_EQ(callCalibration_ApplyForces(cal, arr.data(), n, 17, false, out), -1);
    EXPECT_EQ(callCalibration_ApplyForces(cal, nullptr, n, 4, false, out), -1);
    EXPECT_EQ(callCalibration_ApplyWrenchesFromChannels(cal, arr.data(), n, false, nullptr), -1);
    EXPECT_EQ(out[0], -1);
    EXPECT_EQ(callCalibration_ApplyForces(cal, nullptr, 0, 4, false, nullptr), 0);
    callCalibration_Dispose(cal);
}

TEST(FlatInterface, CalibrationFailuresAreResultsWithMessages)
{
    // A matrix of the wrong shape: no handle, the message names file and field.
    std::string bad = kCalibration;
    bad.replace(bad.find("[[0.5, 0, 0], "), 14, "[");
    const std::string badPath = writeFile("cal-bad.json", bad);
    char* error = nullptr;
    EXPECT_EQ(callCalibration_Load(badPath.c_str(), &error), nullptr);
    const std::string message = take(error);
    EXPECT_NE(message.find(badPath), std::string::npos) << message;
    EXPECT_NE(message.find("channels[0].matrix"), std::string::npos) << message;
    EXPECT_EQ(callCalibration_Load(badPath.c_str(), nullptr), nullptr);  // the message may be declined
    EXPECT_EQ(brv_c_calibration_without_file("/nonexistent/brv-calibration.json"), 0);

    // A file without channel 0 or a six-axis part covers none of a single
    // channel's request, nor any wrench.
    const std::string path = writeFile("cal-c.json", R"({"format": "brova-calibration", "version": 1,
        "identity": {"kind": 34}, "units": {"force": "kN"},
        "channels": [{"channel": 1, "inputs": ["x"], "matrix": [[1], [0.5], [0.25]], "bias": [0, 0, 0]}]})");
    brv_calibration* cal = callCalibration_Load(path.c_str(), &error);
    ASSERT_NE(cal, nullptr) << take(error);
    BrovaPackage one[4];
    one[1].x = 3;
    double out[12] = {};
    EXPECT_EQ(callCalibration_ApplyForces(cal, one, 1, 1, false, out), -3);
    EXPECT_EQ(callCalibration_ApplyWrenchesFromChannels(cal, one, 1, false, out), -3);
    ASSERT_EQ(callCalibration_ApplyForces(cal, one, 1, 2, false, out), 1);
    EXPECT_DOUBLE_EQ(out[3], 3000.0);  // channel 1's x, in kN in the file
    EXPECT_EQ(callCalibration_Matches(cal, 34, "ANY"), 1);  // no identification: any device of the kind
    callCalibration_Dispose(cal);
}
