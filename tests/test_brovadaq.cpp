// BrovaDAQ against the device simulator, through Qt SerialPort and a real
// pseudo-terminal: opening, reading, status codes, configuration, zeroing.
#include <gtest/gtest.h>

#include <QtGlobal>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "allocators.h"
#include "brovadaq.h"
#include "brvsim.h"
#include "engine_access.h"

using namespace std::chrono_literals;
using brvsim::Bytes;

namespace {

std::mutex g_lock;
std::vector<std::string> g_messages;
void captureMessages(QtMsgType, const QMessageLogContext&, const QString& text)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_messages.push_back(text.toStdString());
}
struct CaptureQtMessages {
    CaptureQtMessages()
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_messages.clear();
        previous = qInstallMessageHandler(captureMessages);
    }
    ~CaptureQtMessages() { qInstallMessageHandler(previous); }
    std::vector<std::string> messages()
    {
        std::lock_guard<std::mutex> hold(g_lock);
        return g_messages;
    }
    QtMessageHandler previous;
};

const char* kindText(int kind)
{
    switch (kind) {
    case 31: return "31 v0.9";
    case 34: return "34 v0.9";
    case 64: return "64 v0.9";
    case 68: return "68 v1.1";
    case 94: return "94 v0.9";
    case 95: return "95 v1.0";
    default: return "unknown";
    }
}

BPort portOf(const brvsim::Device& dev)
{
    BPort p;
    BPort::setText(p.portName, dev.portName().c_str());
    BPort::setText(p.deviceName, kindText(dev.kind()));
    return p;
}

// A started device streaming fast, with a distinct load on every channel.
std::unique_ptr<brvsim::Device> device(int kind)
{
    auto dev = std::make_unique<brvsim::Device>(kind);
    dev->setRate(1000);
    for (int c = 0; c < brvsim::channelCount(kind); ++c)
        dev->setLoad(c, {100 * (c + 1), -50 * (c + 1), 20000 + c});
    for (int c = 0; c < brvsim::channelCount(kind); ++c)
        dev->setAux(c, static_cast<uint16_t>(7 + c));
    dev->setLoad6({-1000, 2000, -3000, 400, -500, 600});
    EXPECT_TRUE(dev->start());
    return dev;
}

Bytes seq(std::initializer_list<int> b)
{
    Bytes out;
    for (int v : b)
        out.push_back(static_cast<uint8_t>(v));
    return out;
}

bool contains(const Bytes& hay, const Bytes& needle, size_t* at = nullptr)
{
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end());
    if (at)
        *at = static_cast<size_t>(it - hay.begin());
    return it != hay.end();
}

// Reads until a sample arrives (the simulator streams at 1000 per second).
template <class Read>
int readSome(Read read)
{
    for (int i = 0; i < 200; ++i) {
        const int n = read();
        if (n != 0)
            return n;
        std::this_thread::sleep_for(5ms);
    }
    return 0;
}

} // namespace

TEST(BrovaDAQ, ClosedObjectAnswersWithoutAPort)
{
    BrovaDAQ daq;
    EXPECT_FALSE(daq.isOpen());
    EXPECT_TRUE(daq.isChksumOK());
    EXPECT_STREQ(daq.getPortName(), "");
    EXPECT_EQ(daq.getBytesPerRead(), 1);
    BrovaPackage pkg;
    pkg.s1 = 42;
    int values[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    BrovaPackage* arr = nullptr;
    BrovaPackage6D six;
    int* ints = nullptr;
    EXPECT_EQ(daq.read(pkg, 0, false), -2);
    EXPECT_EQ(pkg.s1, 42);
    EXPECT_EQ(daq.readArray(values, false), -2);
    EXPECT_EQ(values[0], 9);  // not zeroed when closed
    EXPECT_EQ(daq.readAll(arr, false), -2);
    EXPECT_EQ(daq.read6D(six, false), -2);
    EXPECT_EQ(daq.readAll6Axis(ints, false), -2);
    EXPECT_EQ(ints, nullptr);
    EXPECT_FALSE(daq.zero(0));
    EXPECT_FALSE(daq.unzero(0));
    EXPECT_FALSE(daq.getOffset(0).isCorrect());

    // An empty port name is refused without touching a port.
    BPort empty;
    EXPECT_FALSE(daq.open(empty, true, 1000000));
    EXPECT_FALSE(daq.isOpen());
    daq.close();
    daq.close();
}

TEST(BrovaDAQ, StreamKindsOpenReadAndClose)
{
    {
        auto dev = device(68);
        BrovaDAQ daq;
        ASSERT_TRUE(daq.open(portOf(*dev), true, 1000000));
        EXPECT_TRUE(daq.isOpen());
        EXPECT_EQ(daq.getVersion(), BROVA_STREAM_3AXIS);
        EXPECT_EQ(daq.getSensorSize(), 1);
        EXPECT_EQ(daq.getBytesPerRead(), 29);
        EXPECT_STREQ(daq.getPortName(), dev->portName().c_str());
        BrovaPackage pkg;
        ASSERT_GT(readSome([&] { return daq.read(pkg, 0, false); }), 0);
        EXPECT_EQ(pkg.x, 100);
        EXPECT_EQ(pkg.y, -50);
        EXPECT_EQ(pkg.z, 20000);
        EXPECT_EQ(pkg.aux, 7);
        EXPECT_EQ(pkg.s1 - pkg.s3, 100);
        EXPECT_EQ(daq.read(pkg, 2, false), -3);  // one channel only
        int values[8] = {};
        ASSERT_GT(readSome([&] { return daq.readArray(values, false); }), 0);
        EXPECT_EQ(values[4], 100);
        EXPECT_EQ(values[7], 7);
        EXPECT_FALSE(daq.isVirtual());
        daq.close();
        EXPECT_FALSE(daq.isOpen());
        EXPECT_EQ(daq.getSensorSize(), 0);
        EXPECT_EQ(daq.getVersion(), BROVA_STREAM_3AXIS);  // kept after close
        EXPECT_STREQ(daq.getPortName(), dev->portName().c_str());
        EXPECT_EQ(daq.read(pkg, 0, false), -2);
    }
    {
        auto dev = device(94);
        BrovaDAQ daq;
        ASSERT_TRUE(daq.open(portOf(*dev), true, 1000000));
        EXPECT_EQ(daq.getSensorSize(), 4);
        EXPECT_TRUE(daq.isVirtual());
        EXPECT_EQ(daq.getBytesPerRead(), 45);
        BrovaPackage pkgs[16];
        ASSERT_GT(readSome([&] { return daq.readVirtual(pkgs, false); }), 0);
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(pkgs[c].x, 100 * (c + 1));
            EXPECT_EQ(pkgs[c].y, -50 * (c + 1));
            EXPECT_EQ(pkgs[c].z, 20000 + c);
            EXPECT_EQ(pkgs[c].aux, 7 + c);
        }
        EXPECT_FALSE(pkgs[4].isCorrect());

        int grid[128];
        std::fill(std::begin(grid), std::end(grid), -7);
        ASSERT_GT(readSome([&] { return daq.readVirtualArray(grid, false); }), 0);
        EXPECT_EQ(grid[8 * 2 + 0], 300);  // x of channel 2 comes first
        EXPECT_EQ(grid[8 * 3 + 7], 10);   // aux of channel 3 last
        EXPECT_EQ(grid[32], -7);          // beyond four channels: untouched

        int six[6] = {};
        ASSERT_GT(readSome([&] { return daq.read6Axis(six, false); }), 0);
        EXPECT_EQ(six[0], (100 + 200 + 300 + 400) / 4);
        EXPECT_EQ(six[2], (20000 * 4 + 6) / 16);
        EXPECT_EQ(six[3], (20000 - 20002) / 2);

        // readAll: channel-major, the caller's array reused and released.
        std::this_thread::sleep_for(20ms);
        BrovaPackage* arr = nullptr;
        const int n = daq.readAll(arr, false);
        ASSERT_GT(n, 0);
        EXPECT_EQ(reinterpret_cast<const uint64_t*>(arr)[-1], static_cast<uint64_t>(4 * n));
        for (int c = 0; c < 4; ++c)
            for (int k = 0; k < n; ++k)
                EXPECT_EQ(arr[c * n + k].x, 100 * (c + 1));
        std::this_thread::sleep_for(20ms);
        const int n2 = daq.readAll(arr, false);
        ASSERT_GT(n2, 0);
        EXPECT_EQ(reinterpret_cast<const uint64_t*>(arr)[-1], static_cast<uint64_t>(4 * n2));
        EXPECT_EQ(::size, 4 * n2);
        delete[] arr;

        int* groups = nullptr;
        std::this_thread::sleep_for(20ms);
        const int g = daq.readAll6Axis(groups, false);
        ASSERT_NE(groups, nullptr);
        ASSERT_GT(g, 0);
        EXPECT_EQ(groups[6 * (g - 1)], 250);
        delete[] groups;
        // The same computation on samples the caller holds.
        BrovaPackage four[4];
        for (BrovaPackage& p : four) {
            p.x = 100;
            p.z = 20000;
        }
        four[2].z = 20004;
        int wrench[6];
        BrovaDAQ::wrenchOf(four[0], four[1], four[2], four[3], wrench);
        EXPECT_EQ(wrench[0], 100);                      // the mean of x
        EXPECT_EQ(wrench[2], (3 * 20000 + 20004) / 16);  // a sixteenth of the z sum
        EXPECT_EQ(wrench[3], (20000 - 20004) / 2);       // (z0 - z2) / 2
        daq.close();
    }
    {
        auto dev = device(95);
        BrovaDAQ daq;
        ASSERT_TRUE(daq.open(portOf(*dev), true, 1000000));
        EXPECT_EQ(daq.getVersion(), BROVA_STREAM_6AXIS);
        EXPECT_EQ(daq.getBytesPerRead(), 57);
        BrovaPackage6D s;
        ASSERT_GT(readSome([&] { return daq.read6D(s, false); }), 0);
        EXPECT_EQ(s.Fx, -1000);
        EXPECT_EQ(s.Fz, -3000);
        EXPECT_EQ(s.Tz, 600);
        EXPECT_EQ(s.sensor2.aux, 8);
        EXPECT_EQ(s.sensor3.x, 300);
        EXPECT_EQ(daq.getSensorSize(), 4);
        BrovaPackage pkg;
        EXPECT_EQ(readSome([&] { return daq.read(pkg, 0, false); }), -1);  // six-axis frames are not for read()
        std::this_thread::sleep_for(20ms);
        BrovaPackage6D* arr = nullptr;
        const int n = daq.readAll6D(arr, false);
        ASSERT_GT(n, 0);
        EXPECT_EQ(reinterpret_cast<const uint64_t*>(arr)[-1], static_cast<uint64_t>(n));
        EXPECT_EQ(arr[n - 1].Ty, -500);
        delete[] arr;
        daq.close();
    }
}

TEST(BrovaDAQ, FramedKindsRunTheHandshakeThenStream)
{
    for (int kind : {31, 34, 64}) {
        auto dev = device(kind);
        BrovaDAQ daq;
        const bool flag = kind != 34;
        ASSERT_TRUE(daq.open(portOf(*dev), flag, 1000000)) << kind;
        const Bytes got = dev->received();
        size_t readAt = 0, reg55At = 0, speedAt = 0;
        ASSERT_TRUE(contains(got, seq({0xAB, 0x00, 0x32, 0x06, 0x00, 0xE3}), &readAt));
        ASSERT_TRUE(contains(got, flag ? seq({0xAA, 0x00, 0x37, 0x01, 0x0A, 0x00, 0xEC})
                                       : seq({0xAA, 0x00, 0x37, 0x01, 0x00, 0x00, 0xE2}), &reg55At));
        ASSERT_TRUE(contains(got, seq({0xAA, 0x00, 0x32, 0x01, 0x0A, 0x00, 0xE7}), &speedAt));
        EXPECT_LT(readAt, reg55At);
        EXPECT_LT(reg55At, speedAt);
        EXPECT_EQ(dev->registerValue(brvsim::kReg55), flag ? 10 : 0);

        if (kind == 64) {
            EXPECT_EQ(daq.getVersion(), BROVA_FRAMED_6AXIS);
            BrovaPackage6D s;
            ASSERT_GT(readSome([&] { return daq.read6D(s, false); }), 0);
            EXPECT_EQ(s.Fx, -1000);
            EXPECT_EQ(s.Tz, 600);
            EXPECT_EQ(s.sensor4.s1 - s.sensor4.s3, 400);
            EXPECT_EQ(daq.getSensorSize(), 4);
        } else {
            EXPECT_EQ(daq.getVersion(), kind == 31 ? BROVA_FRAMED_3AXIS : BROVA_FRAMED_4CH);
            EXPECT_EQ(daq.getSensorSize(), kind == 31 ? 1 : 4);
            BrovaPackage pkgs[16];
            ASSERT_GT(readSome([&] { return daq.readVirtual(pkgs, false); }), 0);
            for (int c = 0; c < daq.getSensorSize(); ++c) {
                EXPECT_EQ(pkgs[c].x, 100 * (c + 1));
                EXPECT_EQ(pkgs[c].y, -50 * (c + 1));
                EXPECT_EQ(pkgs[c].z, 20000 + c);
                EXPECT_EQ(pkgs[c].x2, pkgs[c].x);
            }
        }
        daq.close();
    }
}

TEST(BrovaDAQ, FramedDeviceThatNeverAnswersIsNotOpened)
{
    auto dev = device(34);
    dev->setAnswering(false);
    dev->silence(5s);
    BrovaDAQ daq;
    EXPECT_FALSE(daq.open(portOf(*dev), true, 1000000));
    EXPECT_FALSE(daq.isOpen());
    EXPECT_EQ(daq.getVersion(), BROVA_FRAMED_4CH);
    EXPECT_EQ(daq.getConfig().to_uin8_t(), 0xB0);
    EXPECT_EQ(dev->hostOpens(), 1);  // the handshake only: no reader thread
}

TEST(BrovaDAQ, HandshakeReadsTheConfigurationReply)
{
    auto scan = [](const Bytes& reply, uint8_t start = 0xB0) {
        SensorConfig c;
        c.value = start;
        const bool found = BrovaEngineAccess::scanReply(reply, c);
        return std::make_pair(found, c.to_uin8_t());
    };
    // Speed code 33, filter code 3, mode 1: 30 per second, 50 Hz, vector mode;
    // the checksum bytes are not looked at.
    EXPECT_EQ(scan(seq({0xAA, 0x00, 0x32, 0x06, 0x21, 0x03, 0x00, 0x00, 0x01, 0x00, 0x12, 0x34})),
              std::make_pair(true, uint8_t{0xBD}));
    // Filter codes 1, 5, 6 (500, 5, 1 Hz) leave the filter field as it was;
    // code 9 reads as 15 Hz; speed code 7 as 100 per second.
    for (int code : {1, 5, 6}) {
        auto r = scan(seq({0xAA, 0x00, 0x32, 0x06, 0x01, code, 0x00, 0x00, 0x00}), 0xB4);
        EXPECT_TRUE(r.first);
        EXPECT_EQ(r.second, 0xA4) << code;  // 1000 per second, the earlier 50 Hz kept
    }
    EXPECT_EQ(scan(seq({0xAA, 0x00, 0x32, 0x06, 0x07, 0x09, 0x00, 0x00, 0x00})).second, 0xB6);
    // Eight bytes from the AA are not enough; the last complete reply decides.
    EXPECT_FALSE(scan(seq({0x00, 0xAA, 0x00, 0x32, 0x06, 0x21, 0x03, 0x00, 0x00})).first);
    EXPECT_EQ(scan(seq({0xAA, 0x00, 0x32, 0x06, 0x01, 0x00, 0x00, 0x00, 0x00, 0xAA, 0x00, 0x32, 0x06, 0x21, 0x04,
                        0x00, 0x00, 0x01}))
                  .second,
              0xBF);
}

TEST(BrovaDAQ, StatusCodesWhenTheDeviceStopsOrOverflows)
{
    auto dev = device(68);
    BrovaDAQ daq;
    ASSERT_TRUE(daq.open(portOf(*dev), true, 1000000));

    // A caller that does not read while the device sends more than the cap.
    dev->sendRaw(Bytes(150000, 0x00));
    std::this_thread::sleep_for(300ms);
    BrovaPackage pkg;
    pkg.s1 = -99;
    int status = 0;
    for (int i = 0; i < 100 && status != -1; ++i) {
        status = daq.read(pkg, 0, true);
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(status, -1);
    BrovaPackage* arr = nullptr;
    EXPECT_EQ(daq.readAll(arr, false), -1);
    EXPECT_EQ(arr, nullptr);
    EXPECT_GE(daq.getStatistics().bytesDiscarded, 150000u - ReaderThread::bufferCap);

    // The status stays -1 until a chunk fits again; then reads parse again.
    int after = -1;
    for (int i = 0; i < 400 && after <= 0; ++i) {
        after = daq.read(pkg, 0, false);
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_GT(after, 0);

    // peek leaves the bytes for the next read.
    std::this_thread::sleep_for(10ms);
    dev->silence(3s);
    std::this_thread::sleep_for(20ms);
    const int peeked = daq.read(pkg, 0, true);
    EXPECT_EQ(daq.read(pkg, 0, true), peeked);
    EXPECT_EQ(daq.read(pkg, 0, false), peeked);
    EXPECT_EQ(daq.read(pkg, 0, false), 0);

    // Silence: after 550 ms the reader ends by itself (a read made in the
    // moment it is ending reports -4; the parser tests cover that status),
    // and from then on every read reports -2.
    int last = 0;
    for (int i = 0; i < 300 && last != -2; ++i) {
        last = daq.read(pkg, 0, false);
        EXPECT_TRUE(last == 0 || last == -4 || last == -2) << last;
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(last, -2);
    EXPECT_FALSE(daq.isOpen());
    daq.close();  // returns at once
}

TEST(BrovaDAQ, HangUpEndsTheReader)
{
    auto dev = device(94);
    BrovaDAQ daq;
    ASSERT_TRUE(daq.open(portOf(*dev), true, 1000000));
    dev->hangUp();
    BrovaPackage pkgs[16];
    int last = 0;
    for (int i = 0; i < 400 && last != -2; ++i) {
        last = daq.readVirtual(pkgs, false);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(last, -2);
    int* groups = nullptr;
    EXPECT_EQ(daq.readAll6Axis(groups, false), -2);
    daq.close();
}

TEST(BrovaDAQ, APortThatAnotherOpenHoldsIsNotOpenedTwice)
{
    // Two readers would split the bytes between them. The tests run as root,
    // whom the port's exclusive-use mode lets in; the library's own lock is
    // not passed by. A framed kind's handshake port and the probe keep out
    // too, so nothing is written to a device another reader has.
    for (int kind : {68, 34}) {
        auto dev = device(kind);
        BrovaDAQ first, second;
        ASSERT_TRUE(first.open(portOf(*dev), true, 1000000)) << kind;
        EXPECT_FALSE(second.open(portOf(*dev), true, 1000000)) << kind;
        EXPECT_FALSE(second.isOpen()) << kind;
        BrovaPackage p;
        EXPECT_GT(readSome([&] { return first.read(p, 0, false); }), 0) << kind;
        first.close();
        EXPECT_TRUE(second.open(portOf(*dev), true, 1000000)) << kind;  // free again
        second.close();
    }
}

TEST(BrovaDAQ, OpenAndCloseAHundredTimes)
{
    auto dev = device(68);
    BrovaDAQ daq;
    auto count = [](const char* dir) {
        int n = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir)) {
            (void)e;
            ++n;
        }
        return n;
    };
    // One round first, so that what Qt sets up once is already there. A
    // joined thread may take a moment to leave the process's task list.
    ASSERT_TRUE(daq.open(portOf(*dev), true, 1000000));
    daq.close();
    std::this_thread::sleep_for(200ms);
    const int threads = count("/proc/self/task");
    const int files = count("/proc/self/fd");
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(daq.open(portOf(*dev), true, 1000000)) << "round " << i;
        BrovaPackage pkg;
        daq.read(pkg, 0, false);
        daq.close();
        ASSERT_FALSE(daq.isOpen());
    }
    // No reader thread and no port left behind.
    for (int i = 0; i < 100 && count("/proc/self/task") > threads; ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_LE(count("/proc/self/task"), threads);
    EXPECT_EQ(count("/proc/self/fd"), files);
    EXPECT_EQ(daq.getSensorSize(), 0);
}

TEST(BrovaDAQ, OneByteConfigurationOnStreamDevices)
{
    auto dev = device(68);
    dev->setRate(0);  // by the configuration byte
    dev->setConfigByte(0xB0);
    BrovaDAQ daq;
    ASSERT_TRUE(daq.open(portOf(*dev), true, 1000000));
    EXPECT_EQ(daq.getConfig().to_uin8_t(), 0xB0);
    dev->clearReceived();
    SensorConfig fast;
    fast.setSpeed(1000);
    fast.setFilter(15);
    EXPECT_TRUE(daq.sendConfig(fast));
    EXPECT_EQ(dev->received(), seq({fast.to_uin8_t()}));  // exactly one byte
    EXPECT_EQ(daq.getConfig().getSpeed(), 1000);
    EXPECT_DOUBLE_EQ(dev->currentRate(), 1000.0);

    // A device that ignores the command keeps its configuration: false.
    dev->setAnswering(false);
    SensorConfig slow;
    slow.setSpeed(30);
    EXPECT_FALSE(daq.sendConfig(slow));
    EXPECT_EQ(daq.getConfig().getSpeed(), 1000);
    daq.close();
}

TEST(BrovaDAQ, RegisterConfigurationOnFramedDevices)
{
    auto dev = device(31);
    BrovaDAQ daq;
    ASSERT_TRUE(daq.open(portOf(*dev), true, 1000000));
    dev->clearReceived();
    SensorConfig c;  // 100 per second, no filter
    EXPECT_TRUE(daq.sendConfig(c));
    EXPECT_TRUE(contains(dev->received(), seq({0xAA, 0x00, 0x32, 0x02, 0x0A, 0x00, 0x00, 0xE8})));
    EXPECT_TRUE(contains(dev->received(), seq({0xAB, 0x00, 0x32, 0x06, 0x00, 0xE3})));  // getConfig's request

    dev->clearReceived();
    c.setSpeed(1000);
    c.setFilter(15);
    c.setMode(1);  // the mode is not sent
    EXPECT_TRUE(daq.sendConfig(c));
    EXPECT_TRUE(contains(dev->received(), seq({0xAA, 0x00, 0x32, 0x02, 0x01, 0x04, 0x00, 0xE3})));
    EXPECT_EQ(dev->registerValue(brvsim::kRegSpeed), 1);
    EXPECT_EQ(dev->registerValue(brvsim::kRegFilter), 4);
    const SensorConfig now = daq.getConfig();
    EXPECT_EQ(now.getSpeed(), 1000);
    EXPECT_EQ(now.getFilter(), 15);
    EXPECT_EQ(now.getMode(), 0);  // as the device reports it
    daq.close();
}

TEST(BrovaDAQ, ZeroOffsets)
{
    CaptureQtMessages capture;
    {
        auto dev = device(94);
        BrovaDAQ daq;
        ASSERT_TRUE(daq.open(portOf(*dev), true, 1000000));
        BrovaPackage pkgs[16];
        EXPECT_TRUE(daq.zero(1));
        EXPECT_FALSE(daq.zero(4));
        ASSERT_GT(readSome([&] { return daq.readVirtual(pkgs, false); }), 0);
        EXPECT_EQ(pkgs[1].x, 0);
        EXPECT_EQ(pkgs[1].z, 0);
        EXPECT_EQ(pkgs[1].inconsistent[0], pkgs[1].s1 + daq.getOffset(1).s1);  // as received
        EXPECT_EQ(pkgs[0].x, 100);  // other channels untouched
        const BrovaPackage first = daq.getOffset(1);
        EXPECT_TRUE(daq.zero(1));  // same load: same offset
        EXPECT_EQ(daq.getOffset(1).s1, first.s1);

        daq.zeroAll();
        ASSERT_GT(readSome([&] { return daq.readVirtual(pkgs, false); }), 0);
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(pkgs[c].x, 0) << c;
        EXPECT_TRUE(daq.unzero(2));
        ASSERT_GT(readSome([&] { return daq.readVirtual(pkgs, false); }), 0);
        EXPECT_EQ(pkgs[2].x, 300);
        EXPECT_FALSE(daq.getOffset(5).isCorrect());
        daq.close();
        // Channel offsets do not survive close.
        EXPECT_EQ(daq.getOffset(0).s1, 0);
    }
    {
        auto dev = device(95);
        BrovaDAQ daq;
        ASSERT_TRUE(daq.open(portOf(*dev), true, 1000000));
        BrovaPackage6D s;
        ASSERT_GT(readSome([&] { return daq.read6D(s, false); }), 0);
        ASSERT_EQ(daq.getSensorSize(), 4);
        // Channels 1..3 exist once the six-axis header set four channels.
        EXPECT_TRUE(daq.unzero(3));
        EXPECT_FALSE(daq.getOffset(3).isCorrect());

        daq.zeroAll();  // the six-axis offset only
        EXPECT_EQ(daq.getOffset(0).s1, 0);
        ASSERT_GT(readSome([&] { return daq.read6D(s, false); }), 0);
        EXPECT_EQ(s.Fx, 0);
        EXPECT_EQ(s.Tz, 0);

        // The six-axis offset survives close and open.
        daq.close();
        ASSERT_TRUE(daq.open(portOf(*dev), true, 1000000));
        ASSERT_GT(readSome([&] { return daq.read6D(s, false); }), 0);
        EXPECT_EQ(s.Fz, 0);

        daq.unzeroAll();
        ASSERT_GT(readSome([&] { return daq.read6D(s, false); }), 0);
        EXPECT_EQ(s.Fz, -3000);
        daq.close();
        daq.unzeroAll();  // closed: nothing, not even the debug line
        daq.zeroAll();
    }
    const auto lines = capture.messages();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "sensorSize 4");
}

TEST(BrovaDAQ, AnyCallerThreadWritesNothing)
{
    // A host's own thread (not started by Qt) opens, configures and reads a
    // framed device: nothing is printed, no Qt warning either.
    CaptureQtMessages capture;
    auto dev = device(34);
    bool opened = false, configured = false;
    int got = 0;
    std::thread host([&] {
        BrovaDAQ daq;
        opened = daq.open(portOf(*dev), true, 1000000);
        BrovaPackage pkgs[16];
        got = readSome([&] { return daq.readVirtual(pkgs, false); });
        configured = daq.sendConfig(SensorConfig());
        daq.close();
    });
    host.join();
    EXPECT_TRUE(opened);
    EXPECT_GT(got, 0);
    EXPECT_TRUE(configured);
    EXPECT_TRUE(capture.messages().empty()) << capture.messages().front();
}

namespace {

// Frame numbers (the simulator's aux sequence) are 16-bit: each must follow
// the one before it.
void expectConsecutive(const std::vector<int>& numbers, int kind)
{
    ASSERT_GE(numbers.size(), 20u) << kind;
    for (size_t i = 1; i < numbers.size(); ++i)
        ASSERT_EQ((numbers[i] - numbers[i - 1]) & 0xFFFF, 1) << kind << " after sample " << i;
}

} // namespace

TEST(BrovaDAQ, PeeksAndTaresLoseNoSampleOfSplitFrames)
{
    // A bridge hands a frame over in pieces wherever its packets end. Here
    // every frame comes in two, and each consuming read follows a peek (and
    // now and then a tare, which peeks too): every frame must still arrive
    // once, with no false checksum error.
    CaptureQtMessages capture;
    for (int kind : {68, 34, 95}) {
        auto dev = device(kind);
        dev->setAuxSequence(true);
        const size_t half = kind == 68 ? 14 : kind == 34 ? 57 : 28;
        dev->splitNextFrames({half}, -1, 2ms);
        BrovaDAQ daq;
        ASSERT_TRUE(daq.open(portOf(*dev), true, 1000000)) << kind;
        std::vector<int> numbers;
        for (int turn = 0; turn < 40; ++turn) {
            std::this_thread::sleep_for(4ms);
            if (kind == 95) {
                BrovaPackage6D s;
                daq.read6D(s, true);
                BrovaPackage6D* arr = nullptr;
                const int n = daq.readAll6D(arr, false);
                for (int k = 0; k < n; ++k)
                    numbers.push_back(arr[k].sensor1.aux);
                delete[] arr;
                continue;
            }
            BrovaPackage pkg;
            daq.read(pkg, 0, true);
            if (turn % 10 == 5) {
                ASSERT_TRUE(daq.zero(0));
            }
            BrovaPackage* arr = nullptr;
            const int n = daq.readAll(arr, false);
            // The offset in force for this read gives back the number as sent.
            const int offset = daq.getOffset(0).aux;
            for (int k = 0; k < n; ++k)
                numbers.push_back(arr[k].aux + offset);
            delete[] arr;
        }
        daq.close();
        expectConsecutive(numbers, kind);
        EXPECT_EQ(dev->framesDropped(), 0u) << kind;
        // Every frame counted once, by the read that took it, not by peeks.
        const BrovaStatistics stats = daq.getStatistics();
        EXPECT_EQ(stats.framesAccepted, numbers.size()) << kind;
        EXPECT_EQ(stats.checksumFailures + stats.framesMalformed + stats.bytesDiscarded, 0u) << kind;
        EXPECT_GE(stats.bytesReceived, numbers.size() * 2 * half) << kind;
    }
    EXPECT_TRUE(capture.messages().empty()) << capture.messages().front();
}

TEST(BrovaDAQ, CommandsAskedWhileClosedReachNoDevice)
{
    auto framed = device(34);
    auto stream = device(68);
    BrovaDAQ daq;
    ASSERT_TRUE(daq.open(portOf(*framed), true, 1000000));
    daq.close();
    framed->clearReceived();

    // Closed: nothing takes a configuration, and nothing is kept for later.
    SensorConfig fast;
    fast.setSpeed(1000);
    EXPECT_FALSE(daq.sendConfig(fast));
    const uint8_t before = daq.getConfig().to_uin8_t();
    EXPECT_EQ(daq.getConfig().to_uin8_t(), before);

    // The next device opened (of the older family, which would take every
    // byte as a command) hears nothing.
    ASSERT_TRUE(daq.open(portOf(*stream), true, 1000000));
    BrovaPackage pkg;
    ASSERT_GT(readSome([&] { return daq.read(pkg, 0, false); }), 0);
    EXPECT_EQ(daq.getVersion(), BROVA_STREAM_3AXIS);
    EXPECT_TRUE(stream->received().empty());
    EXPECT_EQ(stream->configByte(), 0xB0);

    // Open while open: refused, and the running session goes on as it was.
    const int opens = framed->hostOpens();
    EXPECT_FALSE(daq.open(portOf(*framed), true, 1000000));
    EXPECT_EQ(framed->hostOpens(), opens);  // no handshake ran
    EXPECT_TRUE(daq.isOpen());
    EXPECT_EQ(daq.getSensorSize(), 1);
    EXPECT_EQ(daq.getVersion(), BROVA_STREAM_3AXIS);
    ASSERT_GT(readSome([&] { return daq.read(pkg, 0, false); }), 0);
    EXPECT_EQ(pkg.x, 100);
    daq.close();
    EXPECT_TRUE(framed->received().empty());
}

TEST(BrovaDAQ, StrayBytesInFramedStreamsCostNoSample)
{
    // A stream header pair and a 0xAA with a length no frame has, between
    // the frames of a framed four-channel device.
    auto dev = device(34);
    dev->setAuxSequence(true);
    BrovaDAQ daq;
    ASSERT_TRUE(daq.open(portOf(*dev), true, 1000000));
    std::vector<int> numbers;
    for (int turn = 0; turn < 30; ++turn) {
        if (turn == 5)
            dev->sendRaw(seq({0x37, 0x44}));
        if (turn == 15)
            dev->sendRaw(seq({0xAA, 0x12, 0x34, 0xFF}));
        std::this_thread::sleep_for(5ms);
        BrovaPackage* arr = nullptr;
        const int n = daq.readAll(arr, false);
        for (int k = 0; k < n; ++k)
            numbers.push_back(arr[k].aux);
        delete[] arr;
    }
    expectConsecutive(numbers, 34);
    EXPECT_EQ(daq.getStatistics().framesMalformed, 1u);
    EXPECT_EQ(daq.getVersion(), BROVA_FRAMED_4CH);
    EXPECT_EQ(daq.getSensorSize(), 4);
    EXPECT_TRUE(daq.isVirtual());
    daq.close();

    // A short data frame: its readings past its length are 0, not the
    // previous frame's.
    auto one = device(31);
    ASSERT_TRUE(daq.open(portOf(*one), true, 1000000));
    Bytes shortPayload = {0, 0, 0, 0, 0x04, 0xD2, 0, 1, 0, 2, 0x01};  // x 1234, y 1, z 2, s1's high byte
    one->sendRaw(brvsim::encodeAddressed(brvsim::kRegData, shortPayload));
    bool seen = false;
    for (int turn = 0; turn < 100 && !seen; ++turn) {
        std::this_thread::sleep_for(5ms);
        BrovaPackage* arr = nullptr;
        const int n = daq.readAll(arr, false);
        for (int k = 0; k < n; ++k) {
            if (arr[k].x != 1234)
                continue;
            seen = true;
            EXPECT_EQ(arr[k].s1, 0x0100);
            for (int v : {arr[k].s2, arr[k].s4, arr[k].s5, arr[k].s8, arr[k].aux})
                EXPECT_EQ(v, 0);
        }
        delete[] arr;
    }
    EXPECT_TRUE(seen);
    daq.close();
}

TEST(BrovaDAQ, HandshakeTakesAReplyAlreadyWaiting)
{
    // A device that answers 120 ms after each request, a little later than
    // the handshake's 100 ms wait, and sends data frames only now and then:
    // its reply is pulled into Qt's buffer while the next request is being
    // written, and must be taken from there.
    auto dev = device(31);
    dev->setRate(0.5);
    dev->setReplyDelay(120ms);
    BrovaDAQ daq;
    EXPECT_TRUE(daq.open(portOf(*dev), true, 1000000));
    daq.close();
}

namespace {

int64_t nsOf(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

} // namespace

TEST(BrovaDAQ, StampsAgainstTheDevicesTrueInstants)
{
    // A three-axis device configured for 1000 per second behind a bridge of
    // 62-byte packets (one to three frames each), read every 20 ms (many
    // packets a read): its crystal 150 ppm fast, or the device 3 % slow
    // whatever it is told. Its log gives every frame's true instant. What
    // the model guarantees, however loaded the machine: no stamp before its
    // frame's true instant (less 50 us of the period's error), none after
    // the read that handed it out, and a rate that tells the device's.
    struct Case {
        double pace, ppm;
        std::chrono::milliseconds timer;
    };
    for (const Case c : {Case{0, 150, 1ms}, Case{970, 0, 16ms}}) {
        SCOPED_TRACE(c.pace);
        brvsim::Device dev(68);
        dev.setConfigByte(0xA0);  // 1000 per second
        dev.setRate(c.pace);
        dev.setClockPpm(c.ppm);
        dev.setBridge(62, c.timer);
        dev.setAuxSequence(true);
        dev.setSendLog(true);
        ASSERT_TRUE(dev.start());
        BrovaDAQ daq;
        ASSERT_TRUE(daq.open(portOf(dev), false, 1000000));
        std::vector<std::pair<uint16_t, int64_t>> got;  // frame number, stamp
        int64_t rateGiven = 0;                          // from the frame at this index on
        double rate = 0;
        std::vector<int64_t> stamps;
        const auto end = std::chrono::steady_clock::now() + 4s;
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(20ms);
            BrovaPackage* arr = nullptr;
            const int n = daq.readAll(arr, false);
            const int64_t now = nsOf(std::chrono::steady_clock::now());
            ASSERT_GE(n, 0);
            stamps.assign(static_cast<size_t>(n), 0);
            ASSERT_EQ(daq.getStamps(stamps.data(), n), n);
            for (int k = 0; k < n; ++k) {
                EXPECT_LE(stamps[static_cast<size_t>(k)], now);
                got.emplace_back(static_cast<uint16_t>(arr[k].aux), stamps[static_cast<size_t>(k)]);
            }
            delete[] arr;
            if (rate == 0 && (rate = daq.getEstimatedRate()) > 0)
                rateGiven = static_cast<int64_t>(got.size());
        }
        // A read that hands nothing out hands out no stamps.
        BrovaPackage pkg;
        EXPECT_EQ(daq.read(pkg, 3, false), -3);
        EXPECT_EQ(daq.getStamps(nullptr, 0), 0);
        daq.close();
        BrovaPackage* none = nullptr;
        EXPECT_EQ(daq.readAll(none, false), -2);
        EXPECT_EQ(daq.getStamps(nullptr, 0), 0);
        dev.stop();

        const double trueRate = (c.pace > 0 ? c.pace : 1000) * (1 + c.ppm * 1e-6);
        EXPECT_NEAR(daq.getEstimatedRate() / trueRate - 1, 0, 1e-3) << daq.getEstimatedRate();
        // The true instants by frame number. The device starts its schedule
        // afresh where its thread fell 100 ms behind (a loaded machine): a
        // pause the stamps may be early for until the next 0.5 s show it.
        std::map<uint16_t, int64_t> taken;
        int64_t lastTaken = 0, pausedUntil = 0;
        std::map<uint16_t, int64_t> pauses;  // frame number -> the pause it follows ends then
        for (const brvsim::Device::Sent& s : dev.sendLog()) {
            const int64_t t = nsOf(s.taken);
            if (lastTaken && t - lastTaken > 1.5e9 / trueRate)
                pausedUntil = t + 500000000;
            pauses[s.number] = pausedUntil;
            taken[s.number] = lastTaken = t;
        }
        ASSERT_GT(got.size(), 3000u);
        int compared = 0;
        for (size_t k = static_cast<size_t>(c.pace > 0 ? rateGiven : 0); k < got.size(); ++k) {
            const auto t = taken.find(got[k].first);
            ASSERT_NE(t, taken.end()) << k;
            if (got[k].second < pauses[got[k].first])
                continue;
            ++compared;
            ASSERT_GE(got[k].second, t->second - 50000) << "frame " << k << " of " << got.size();
        }
        EXPECT_GT(compared, 1000);
    }
}
