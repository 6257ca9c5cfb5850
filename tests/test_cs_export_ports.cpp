// The flat port functions with simulated sensors plugged in: the library's
// objects linked directly, so that the watcher scans a test inventory.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "brvsim.h"
#include "cs_export.h"
#include "fake_inventory.h"

using namespace std::chrono_literals;

namespace {

// A port-discovery handle whose watcher scans inventory.
brv_ports* createOn(const std::shared_ptr<FakeInventory>& inventory)
{
    PortInventory::setOverride(inventory);
    brv_ports* ports = callBrovaPorts_Create();
    PortInventory::setOverride(nullptr);
    return ports;
}

bool waitFor(brv_truth (*pred)(brv_ports*), brv_ports* ports)
{
    for (int i = 0; i < 100; ++i) {
        if (pred(ports))
            return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

} // namespace

TEST(FlatPorts, EmptyInventory)
{
    auto inventory = std::make_shared<FakeInventory>();
    brv_ports* ports = createOn(inventory);
    ASSERT_NE(ports, nullptr);
    char** list = callListPorts(ports);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(callGetLastSize(ports), 0);
    EXPECT_EQ(callGetSizePorts(ports), 0);
    callDeletePORTLIST(&list, 0);
    EXPECT_FALSE(callIsNewPort(ports));
    EXPECT_FALSE(callIsLostPort(ports));
    char* triple[3] = {nullptr, nullptr, nullptr};
    callGetLostPort(ports, triple);
    for (char* t : triple) {
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t[0], '\0');
    }
    callDeleteBPORT(triple);
    // A long loop of list, take, release: nothing may leak (checked by ASan).
    for (int i = 0; i < 100; ++i) {
        char** l = callListPorts(ports);
        callDeletePORTLIST(&l, callGetLastSize(ports));
        char* t[3];
        callGetNewPort(ports, t);
        callDeleteBPORT(t);
    }
    callBrovaPorts_Dispose(ports);
}

TEST(FlatPorts, ListTakeOpenByTheListedTextsAndLose)
{
    brvsim::Device framed(31), stream(68);
    for (brvsim::Device* d : {&framed, &stream}) {
        d->setRate(1000);
        d->setLoad(0, {321, -45, 1000});
        ASSERT_TRUE(d->start());
    }
    auto inventory = std::make_shared<FakeInventory>();
    inventory->plug(framed.portName(), FakeInventory::ftdi);
    inventory->plug(stream.portName(), FakeInventory::silabs);
    brv_ports* ports = createOn(inventory);

    char** list = callListPorts(ports);
    const int n = callGetLastSize(ports);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(std::string(list[0]), framed.portName());
    EXPECT_STREQ(list[1], "31 v0.9");
    EXPECT_STREQ(list[2], "SIM0001");
    EXPECT_EQ(std::string(list[3]), stream.portName());
    EXPECT_STREQ(list[4], "68 v1.1");
    EXPECT_STREQ(list[5], "");  // recognised from its stream

    // Open each by the texts the list handed out, as a host does.
    for (int i = 0; i < n; ++i) {
        brv_daq* daq = callBrovaDAQ_Create();
        ASSERT_TRUE(callOpen(daq, list[3 * i], list[3 * i + 1])) << list[3 * i + 1];
        BrovaPackage pkg;
        int got = 0;
        for (int k = 0; k < 100 && got <= 0; ++k) {
            got = callRead(daq, &pkg, 0, 0);
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_GT(got, 0);
        EXPECT_EQ(pkg.x, 321);
        callBrovaDAQ_Dispose(daq);  // closes the device first
    }
    callDeletePORTLIST(&list, n);

    // Both were queued as found, in plug order. Read as four bytes, as a C#
    // host reads a bool, the answer is exactly 1.
    char* triple[3];
    ASSERT_EQ(reinterpret_cast<int32_t (*)(brv_ports*)>(callIsNewPort)(ports), 1);
    callGetNewPort(ports, triple);
    EXPECT_STREQ(triple[1], "31 v0.9");
    callDeleteBPORT(triple);
    callGetNewPort(ports, triple);
    EXPECT_STREQ(triple[1], "68 v1.1");
    callDeleteBPORT(triple);
    EXPECT_FALSE(callIsNewPort(ports));

    // Unplugged: a lost record with the port name only.
    inventory->unplug(stream.portName());
    ASSERT_TRUE(waitFor(callIsLostPort, ports));
    EXPECT_EQ(reinterpret_cast<int32_t (*)(brv_ports*)>(callIsLostPort)(ports), 1);
    callGetLostPort(ports, triple);
    EXPECT_EQ(std::string(triple[0]), stream.portName());
    EXPECT_STREQ(triple[1], "");
    EXPECT_STREQ(triple[2], "");
    callDeleteBPORT(triple);
    EXPECT_EQ(callGetSizePorts(ports), 1);
    callBrovaPorts_Dispose(ports);
}

TEST(FlatPorts, IsNewPortSwitchesTheVendorFilterBackOn)
{
    auto inventory = std::make_shared<FakeInventory>();
    inventory->plug("/dev/brv-not-a-bridge", FakeInventory::prolific);
    brv_ports* ports = createOn(inventory);
    EXPECT_EQ(callGetSizePorts(ports), 0);  // outside the filter: never a candidate

    // The class interface turns filtering off: the port is taken unprobed.
    ports->isNewPort(false);
    ASSERT_TRUE(inventory->waitFullCycle());
    EXPECT_EQ(callGetSizePorts(ports), 1);
    char* triple[3];
    callGetNewPort(ports, triple);
    EXPECT_STREQ(triple[1], "unknown");
    callDeleteBPORT(triple);

    // The flat call turns it back on: the port no longer passes, and is lost.
    EXPECT_FALSE(callIsNewPort(ports));
    ASSERT_TRUE(waitFor(callIsLostPort, ports));
    EXPECT_EQ(callGetSizePorts(ports), 0);
    callBrovaPorts_Dispose(ports);
}
