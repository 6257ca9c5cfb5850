// Port discovery against simulated sensors: the watcher's probes on real
// pseudo-terminals, with the port inventory plugged and unplugged by the test,
// and the found sensors opened with BrovaDAQ.
#include <gtest/gtest.h>

#include <time.h>
#include <unistd.h>

#include <QThread>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

#include "brovadaq.h"
#include "brvsim.h"
#include "fake_inventory.h"

using namespace std::chrono_literals;
using brvsim::Bytes;

namespace {

const Bytes kIdentRequest = {0xAB, 0x00, 0x0A, 0x10, 0x00, 0xC5};
const Bytes kClosingWrite = {0xAA, 0x00, 0x32, 0x01, 0x0A, 0x00, 0xE7};

std::unique_ptr<brvsim::Device> device(int kind)
{
    auto dev = std::make_unique<brvsim::Device>(kind);
    dev->setRate(1000);
    for (int c = 0; c < brvsim::channelCount(kind); ++c)
        dev->setLoad(c, {10 * (c + 1), -3 * (c + 1), 20000 + c});
    dev->setLoad6({-1000, 2000, -3000, 400, -500, 600});
    dev->setIdentText("ID" + std::to_string(kind) + "XYZ");
    EXPECT_TRUE(dev->start());
    return dev;
}

// What an asked device received: identification requests (at least
// minRequests of them, and never more than one per 33 ms of the 500 ms of
// asking), then the closing write, and nothing else.
void expectAskedAndClosed(const brvsim::Device& dev, size_t minRequests = 1)
{
    const size_t maxRequests = 500 / 33 + 2;
    ASSERT_TRUE(dev.waitForSequence(kClosingWrite, 2s)) << dev.kind();
    Bytes got = dev.received();
    ASSERT_GT(got.size(), kClosingWrite.size());
    EXPECT_TRUE(std::equal(kClosingWrite.begin(), kClosingWrite.end(), got.end() - 7)) << dev.kind();
    got.resize(got.size() - 7);
    ASSERT_EQ(got.size() % 6, 0u) << dev.kind();
    EXPECT_GE(got.size() / 6, minRequests) << dev.kind();
    EXPECT_LE(got.size() / 6, maxRequests) << dev.kind();
    for (size_t at = 0; at < got.size(); at += 6)
        EXPECT_TRUE(std::equal(kIdentRequest.begin(), kIdentRequest.end(), got.begin() + at)) << dev.kind();
}

template <class Read>
int readSome(Read read)
{
    int n = 0;
    for (int i = 0; i < 400 && n == 0; ++i, std::this_thread::sleep_for(5ms))
        n = read();
    return n;
}

// Reads an opened device the way its kind is read; checks the loads given.
void expectReadable(BrovaDAQ& daq, int kind)
{
    BrovaPackage6D six;
    BrovaPackage pkgs[16];
    if (brvsim::isSixAxisKind(kind)) {
        ASSERT_GT(readSome([&] { return daq.read6D(six, false); }), 0) << kind;
        EXPECT_EQ(six.Fx, -1000) << kind;
    } else {
        ASSERT_GT(readSome([&] { return daq.readVirtual(pkgs, false); }), 0) << kind;
        const int last = brvsim::channelCount(kind) - 1;
        EXPECT_EQ(pkgs[last].x, 10 * (last + 1)) << kind;
        EXPECT_EQ(pkgs[last].z, 20000 + last) << kind;
    }
}

} // namespace

// Six sensors plugged before the first scan: identified in the inventory's
// order, listed, opened from their records and read; then one is unplugged.
TEST(PortWatcher, FindsEveryKindInPlugOrderAndOpensIt)
{
    const std::vector<int> order = {95, 31, 68, 64, 94, 34};
    std::map<int, std::unique_ptr<brvsim::Device>> devs;
    for (int kind : order)
        devs[kind] = device(kind);
    devs[31]->setRegister(brvsim::kRegSpeed, 1);  // the probe leaves speed code 10

    const int vendors[] = {FakeInventory::ftdi, FakeInventory::microchip, FakeInventory::silabs};
    Watched w(0, [&](FakeInventory& inv) {
        int i = 0;
        for (int kind : order)
            inv.plug(devs[kind]->portName(), vendors[i++ % 3], 0x1234);  // any product of the vendor
    });
    BrovaPorts& ports = *w.ports;

    // The first list waits for the first scan, which probed all six.
    const BPort* table = ports.listPorts(false);
    ASSERT_EQ(ports.getLastSize(), 6);
    std::vector<BPort> found;
    while (ports.isNewPort(true))
        found.push_back(ports.getNewPort());
    ASSERT_EQ(found.size(), order.size());
    for (size_t i = 0; i < order.size(); ++i) {
        const int kind = order[i];
        const brvsim::Device& dev = *devs[kind];
        const bool framed = brvsim::isFramedKind(kind);
        const std::string text = std::to_string(kind) + (kind == 68 ? " v1.1" : kind == 95 ? " v1.0" : " v0.9");
        for (const BPort* p : {static_cast<const BPort*>(&found[i]), &table[i]}) {
            EXPECT_EQ(std::string(p->portName), dev.portName());
            EXPECT_EQ(std::string(p->deviceName), text);
            EXPECT_EQ(std::string(p->deviceId), framed ? "ID" + std::to_string(kind) + "XYZ" : std::string());
        }
        EXPECT_EQ(dev.hostOpens(), 1) << kind;
        if (framed)
            expectAskedAndClosed(dev);
        else
            EXPECT_TRUE(dev.received().empty()) << kind;  // known by listening alone
    }
    EXPECT_EQ(devs[31]->registerValue(brvsim::kRegSpeed), 10);

    // Opened from the records the watcher made, while it keeps watching.
    {
        BrovaDAQ daqs[6];
        for (size_t i = 0; i < found.size(); ++i) {
            ASSERT_TRUE(daqs[i].open(found[i], true, 1000000)) << order[i];
            expectReadable(daqs[i], order[i]);
        }
    }
    ASSERT_TRUE(w.settle());
    EXPECT_FALSE(ports.isNewPort(true));  // known ports are not probed again
    // The probe, then the open (the framed kinds' handshake has a port of its
    // own), and no second probe. (A close and reopen within a millisecond, as
    // from the handshake to the reader thread, can count once.)
    for (int kind : order)
        EXPECT_LE(devs[kind]->hostOpens(), brvsim::isFramedKind(kind) ? 3 : 2) << kind;

    // Unplugged: one lost record with only the port name, gone from the list.
    const std::string gone = devs[68]->portName();
    devs[68]->hangUp();
    w.inventory->unplug(gone);
    ASSERT_TRUE(w.settle());
    const BPort lost = ports.getLostPort();
    EXPECT_EQ(std::string(lost.portName), gone);
    EXPECT_TRUE(!lost.deviceName[0] && !lost.deviceId[0]);
    EXPECT_FALSE(ports.isLostPort(true));
    table = ports.listPorts(false);
    ASSERT_EQ(ports.getLastSize(), 5);
    EXPECT_EQ(std::string(table[1].portName), devs[31]->portName());  // the others keep their order
    EXPECT_EQ(std::string(table[2].portName), devs[64]->portName());
}

// Devices of an unwanted kind: streaming ones are refused from their headers
// without a byte sent, framed ones after asking, and none is probed twice.
TEST(PortWatcher, RefusesUnwantedKindsWithTheDocumentedTraffic)
{
    std::map<int, std::unique_ptr<brvsim::Device>> devs;
    for (int kind : {95, 64, 68, 94, 31, 34})
        devs[kind] = device(kind);
    for (int kind : {64, 31, 34})
        devs[kind]->setRegister(brvsim::kRegSpeed, 1);

    // Both watchers run at once, each on its own inventory.
    Watched threeAxis(3, [&](FakeInventory& inv) {
        for (int kind : {95, 64})
            inv.plug(devs[kind]->portName(), FakeInventory::ftdi);
    });
    Watched sixAxis(6, [&](FakeInventory& inv) {
        for (int kind : {68, 94, 31, 34})
            inv.plug(devs[kind]->portName(), FakeInventory::silabs);
    });
    for (Watched* w : {&threeAxis, &sixAxis}) {
        w->ports->listPorts(false);
        EXPECT_EQ(w->ports->getLastSize(), 0);
        ASSERT_TRUE(w->settle());
        EXPECT_FALSE(w->ports->isNewPort(true));
        EXPECT_EQ(w->ports->getSize(true), 0);
    }
    for (int kind : {95, 68, 94}) {
        EXPECT_EQ(devs[kind]->hostOpens(), 1) << kind;
        EXPECT_TRUE(devs[kind]->received().empty()) << kind;
    }
    for (int kind : {64, 31, 34}) {
        EXPECT_EQ(devs[kind]->hostOpens(), 1) << kind;
        // An unwanted kind is asked again and again until the 500 ms are up;
        // each request takes at most 66 ms of waiting.
        expectAskedAndClosed(*devs[kind], 3);
        EXPECT_EQ(devs[kind]->registerValue(brvsim::kRegSpeed), 10) << kind;
    }
}

// One watcher for the ports that carry no sensor: a silent adapter of a
// filter vendor, a sensor behind a bridge outside the filter, and a port that
// cannot be opened until its device appears.
TEST(PortWatcher, NonSensorsAndUnopenablePorts)
{
    brvsim::Device silent(31);
    silent.silence(std::chrono::hours(1));
    silent.setAnswering(false);
    ASSERT_TRUE(silent.start());
    auto outside = device(68);

    char dir[] = "/tmp/brvpXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string later = std::string(dir) + "/s";
    const std::shared_ptr<void> cleanup(nullptr, [&](void*) { unlink(later.c_str()), rmdir(dir); });
    auto behind = device(94);

    Watched w(0, [&](FakeInventory& inv) {
        inv.plug(silent.portName(), FakeInventory::ftdi);
        inv.plug(outside->portName(), FakeInventory::prolific, 0x2303);
        inv.plug(later, FakeInventory::microchip);
    });
    BrovaPorts& ports = *w.ports;
    ASSERT_TRUE(w.settle());
    ASSERT_TRUE(w.settle());
    EXPECT_EQ(ports.getSize(true), 0);
    EXPECT_FALSE(ports.isNewPort(true));
    EXPECT_EQ(silent.hostOpens(), 1);  // probed once, then left alone
    expectAskedAndClosed(silent);
    EXPECT_EQ(outside->hostOpens(), 0);  // never opened

    // The port that could not be opened was not remembered: once its device
    // is there, the next cycle finds it.
    ASSERT_EQ(symlink(behind->portName().c_str(), later.c_str()), 0);
    ASSERT_TRUE(w.settle());
    ASSERT_TRUE(ports.isNewPort(true));
    const BPort found = ports.getNewPort();
    EXPECT_EQ(std::string(found.portName), later);
    EXPECT_STREQ(found.deviceName, "94 v0.9");
    EXPECT_EQ(behind->hostOpens(), 1);

    // Unplugged and plugged back, the silent adapter is probed again.
    w.inventory->unplug(silent.portName());
    ASSERT_TRUE(w.settle());
    EXPECT_FALSE(ports.isLostPort(true));  // it never was a sensor
    w.inventory->plug(silent.portName(), FakeInventory::ftdi);
    ASSERT_TRUE(w.settle());
    EXPECT_EQ(silent.hostOpens(), 2);
    EXPECT_EQ(outside->hostOpens(), 0);

    // Destroyed during a probe: the probe runs to its end, then all stops.
    w.inventory->unplug(silent.portName());
    ASSERT_TRUE(w.settle());
    silent.clearReceived();
    w.inventory->plug(silent.portName(), FakeInventory::ftdi);
    ASSERT_TRUE(silent.waitForHostOpens(3, 10s));
    w.ports.reset();
    EXPECT_TRUE(silent.waitForSequence(kClosingWrite, 2s));
    EXPECT_EQ(silent.hostOpens(), 3);
}

TEST(PortWatcher, WatchedPathsAreIdentifiedFoundAndLost)
{
    // Pseudo-terminals are not serial ports to the system's inventory: named
    // with watchPort, they are probed and reported like bridge ports. The
    // framed one is watched through a link, whose removal unplugs it (a
    // pseudo-terminal's own name may be taken again at once by another's).
    auto framed = device(34);
    auto stream = device(68);
    char dir[] = "/tmp/brvwXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/f";
    ASSERT_EQ(symlink(framed->portName().c_str(), link.c_str()), 0);
    Watched w;
    EXPECT_FALSE(w.ports->watchPort(nullptr));
    EXPECT_FALSE(w.ports->watchPort(""));
    EXPECT_FALSE(w.ports->watchPort("/dev/pts/a-name-of-25-bytes"));
    ASSERT_TRUE(w.ports->watchPort(link.c_str()));
    ASSERT_TRUE(w.ports->watchPort(stream->portName().c_str()));
    ASSERT_TRUE(w.ports->watchPort(stream->portName().c_str()));  // twice: once
    ASSERT_TRUE(w.settle());
    ASSERT_EQ(w.ports->getSize(true), 2);
    std::map<std::string, BPort> found;
    while (w.ports->isNewPort(true)) {
        const BPort p = w.ports->getNewPort();
        found[p.portName] = p;
    }
    EXPECT_STREQ(found[link].deviceName, "34 v0.9");
    EXPECT_STREQ(found[link].deviceId, "ID34XYZ");
    EXPECT_STREQ(found[stream->portName()].deviceName, "68 v1.1");

    ::unlink(link.c_str());
    ::rmdir(dir);
    ASSERT_TRUE(w.settle());
    ASSERT_TRUE(w.ports->isLostPort(true));
    EXPECT_EQ(std::string(w.ports->getLostPort().portName), link);
    EXPECT_EQ(w.ports->getSize(true), 1);
}

TEST(PortWatcher, AProbeEndsWhenItsPortVanishes)
{
    // Unplugged while the probe asks it, a port fails every wait at once from
    // then on: the probe must end there rather than spin until its time is
    // up. It reports no sensor, and uses next to no processor time.
    auto dev = device(34);
    dev->setAnswering(false);
    PortInventory::setOverride(std::make_shared<FakeInventory>());
    BrovaPorts_private engine(0, 1000000);
    PortInventory::setOverride(nullptr);
    bool wanted = true, opened = false;
    double cpuSeconds = 0;
    std::unique_ptr<QThread> prober(QThread::create([&] {
        QSerialPort port(QString::fromStdString(dev->portName()));
        opened = port.open(QIODevice::ReadWrite);
        timespec a{}, b{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
        int kind = 0;
        if (opened)
            wanted = BrovaPortsAccess::probe(engine, port, kind);
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
        cpuSeconds = static_cast<double>(b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9;
    }));
    prober->start();
    EXPECT_TRUE(dev->waitForSequence(kIdentRequest, 2s));
    dev->hangUp();
    prober->wait();
    ASSERT_TRUE(opened);
    EXPECT_FALSE(wanted);
    EXPECT_LT(cpuSeconds, 0.2);
}
