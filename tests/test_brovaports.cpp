#include <gtest/gtest.h>

#include <QByteArray>

#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include "brovaports.h"
#include "fake_inventory.h"

TEST(BPort, DefaultTextsAreEmptyAndCopiesKeepAllBytes)
{
    BPort p;
    EXPECT_STREQ(p.portName, "");
    EXPECT_STREQ(p.deviceName, "");
    EXPECT_STREQ(p.deviceId, "");

    BPort a;
    std::memset(static_cast<void*>(&a), 'q', sizeof a);
    BPort::setText(a.portName, "/dev/ttyUSB0");
    BPort::setText(a.deviceName, "unknown");
    BPort b = a;
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);  // bytes after each NUL too
    EXPECT_EQ(b.portName[13], 'q');
}

TEST(BPort, LongTextsAreCutToTheField)
{
    BPort p;
    std::memset(static_cast<void*>(&p), 0x7F, sizeof p);
    const std::string longName(40, 'n');
    BPort::setText(p.portName, longName.c_str());
    EXPECT_EQ(std::string(p.portName), std::string(24, 'n'));
    EXPECT_EQ(p.deviceName[0], 0x7F);  // the neighbouring field is untouched

    BPort::setText(p.deviceId, std::string(24, 'i').c_str());  // exactly 24 fits
    EXPECT_EQ(std::string(p.deviceId), std::string(24, 'i'));
    BPort::setText(p.deviceName, nullptr);
    EXPECT_STREQ(p.deviceName, "");
}

namespace {

// An identification reply: AA 00 0A 10, sixteen register bytes (the kind code
// first, the text at 8..14), two checksum bytes (not examined by the search).
QByteArray identReply(int kind, const char (&text)[8])
{
    QByteArray r("\xAA\x00\x0A\x10", 4);
    r.append(static_cast<char>(kind)).append(QByteArray(7, '\x5A')).append(text, 7).append(QByteArray(3, '\0'));
    return r;
}

PortRecord port(int length, int vendor, int product) { return PortRecord{QString(length, 'p'), vendor, product}; }

} // namespace

TEST(PortDiscovery, VendorAloneDecidesACandidate)
{
    PortInventory::setOverride(std::make_shared<FakeInventory>());
    const BrovaPorts_private e(0, 1000000);
    PortInventory::setOverride(nullptr);
    for (int vendor : {0x04D8, 0x0403, 0x10C4})
        for (int product : {0x0000, 0x000A, 0x6001, 0x6015, 0xEA60, 0xFFFF})
            EXPECT_TRUE(BrovaPortsAccess::isCandidate(e, port(7, vendor, product), true)) << vendor << ":" << product;
    EXPECT_FALSE(BrovaPortsAccess::isCandidate(e, port(7, 0x067B, 0x6001), true));
    EXPECT_FALSE(BrovaPortsAccess::isCandidate(e, port(7, 0, 0), true));  // built-in port
    EXPECT_TRUE(BrovaPortsAccess::isCandidate(e, port(7, 0, 0), false));
    EXPECT_FALSE(BrovaPortsAccess::isCandidate(e, port(0, 0x0403, 0x6001), true));
    EXPECT_FALSE(BrovaPortsAccess::isCandidate(e, port(0, 0, 0), false));
    // A record names at most 24 bytes; a longer port is not taken.
    EXPECT_TRUE(BrovaPortsAccess::isCandidate(e, port(24, 0x0403, 1), true));
    EXPECT_FALSE(BrovaPortsAccess::isCandidate(e, port(25, 0x0403, 1), true));
    EXPECT_FALSE(BrovaPortsAccess::isCandidate(e, port(25, 0, 0), false));
}

TEST(PortDiscovery, KindTexts)
{
    const std::pair<int, const char*> texts[] = {{31, "31 v0.9"}, {34, "34 v0.9"}, {64, "64 v0.9"}, {68, "68 v1.1"},
                                                 {94, "94 v0.9"}, {95, "95 v1.0"}, {0, "unknown"}, {287, "unknown"}};
    for (auto [kind, text] : texts) {
        BPort p;
        std::memset(static_cast<void*>(&p), 'q', sizeof p);
        BrovaPorts_private::setVersion(p, kind);
        EXPECT_STREQ(p.deviceName, text) << kind;
        EXPECT_EQ(p.deviceName[8], 'q');  // only the text and its NUL are written
    }
}

TEST(PortDiscovery, StreamHeaderCount)
{
    char text[BPort::textSize] = "SIM0001";
    int kind = 0, headers = 0;
    // Every adjacent pair counts, wherever it lies: 37 37 44 holds one pair.
    const QByteArray mixed("\x37\x37\x44..\x37\x5F..\x37\x5E\x37\x00", 13);
    EXPECT_EQ(BrovaPorts_private::scanStreamHeaders(mixed, 3, kind, headers, text), 2);
    EXPECT_EQ(headers, 3);
    EXPECT_EQ(kind, 94);  // the last wanted pair
    EXPECT_STREQ(text, "");  // a pair means a stream device: no identification text
    kind = 0;
    EXPECT_EQ(BrovaPorts_private::scanStreamHeaders(mixed, 6, kind, headers, text), 1);
    EXPECT_EQ(kind, 95);
    EXPECT_EQ(BrovaPorts_private::scanStreamHeaders(mixed, 0, kind, headers, text), 3);
    EXPECT_EQ(kind, 94);
    char kept[BPort::textSize] = "KEEP";
    EXPECT_EQ(BrovaPorts_private::scanStreamHeaders(QByteArray("\x37\x45\x44", 3), 0, kind, headers, kept), 0);
    EXPECT_EQ(headers, 0);
    EXPECT_STREQ(kept, "KEEP");
}

TEST(PortDiscovery, IdentReplySearch)
{
    char text[BPort::textSize] = "";
    int kind = 0;
    // Searched only where 20 bytes follow: a reply beginning exactly 20 bytes
    // before the end is found, one beginning 19 bytes before is not (yet).
    const QByteArray junk(5, '\x11');
    EXPECT_FALSE(BrovaPorts_private::searchIdentReply(junk + identReply(34, "ABC1234").left(19), 0, kind, text));
    EXPECT_EQ(kind, 0);
    EXPECT_TRUE(BrovaPorts_private::searchIdentReply(junk + identReply(34, "ABC1234").left(20), 0, kind, text));
    EXPECT_EQ(kind, 34);
    EXPECT_STREQ(text, "ABC1234");

    // The last reply decides, either way.
    const QByteArray sixThenOne = identReply(64, "SIX0064") + identReply(31, "ONE0031");
    EXPECT_TRUE(BrovaPorts_private::searchIdentReply(sixThenOne, 0, kind, text));
    EXPECT_EQ(kind, 31);
    EXPECT_STREQ(text, "ONE0031");
    EXPECT_FALSE(BrovaPorts_private::searchIdentReply(sixThenOne, 6, kind, text));
    EXPECT_FALSE(BrovaPorts_private::searchIdentReply(identReply(64, "SIX0064") + identReply(68, "XXXXXXX"), 0, kind, text));

    // A NUL inside the identification text ends it early.
    EXPECT_TRUE(BrovaPorts_private::searchIdentReply(identReply(64, "AB\0CDEF"), 6, kind, text));
    EXPECT_STREQ(text, "AB");
}

// With the filter off nothing is probed, so the ports need no device.
TEST(PortDiscovery, UnfilteredPortsAndTheSharedTable)
{
    Watched a(0, [](FakeInventory& inv) {
        inv.plug("ttyS0", 0, 0);
        inv.plug("ttyUSB7", FakeInventory::prolific, 0x2303);
        inv.plug(std::string(25, 'x'), 0, 0);  // too long to name
    });
    BrovaPorts& ports = *a.ports;
    EXPECT_STREQ(ports.getAPIversion(), "1.4.3.12");
    EXPECT_EQ(ports.getLastSize(), 0);
    const BPort* table = ports.listPorts(false);
    EXPECT_EQ(ports.getLastSize(), 0);
    EXPECT_FALSE(ports.isNewPort(false));  // the filtered first scan took nothing
    for (const BPort& p : {ports.getNewPort(), ports.getLostPort()})
        EXPECT_TRUE(!p.portName[0] && !p.deviceName[0] && !p.deviceId[0]);

    ASSERT_TRUE(a.settle());
    ASSERT_EQ(ports.getSize(true), 2);
    for (const char* name : {"ttyS0", "ttyUSB7"}) {
        const BPort p = ports.getNewPort();
        EXPECT_STREQ(p.portName, name);
        EXPECT_STREQ(p.deviceName, "unknown");
        EXPECT_STREQ(p.deviceId, "");
    }
    EXPECT_FALSE(ports.isNewPort(false));

    // Two objects write one table: the same address, the later call wins.
    Watched b(0, [](FakeInventory& inv) { inv.plug("ttyACM3", 0, 0); });
    b.ports->isNewPort(false);
    ASSERT_TRUE(b.settle());
    EXPECT_EQ(ports.listPorts(false), table);
    EXPECT_STREQ(table[1].portName, "ttyUSB7");
    EXPECT_EQ(b.ports->listPorts(false), table);
    EXPECT_EQ(b.ports->getLastSize(), 1);
    EXPECT_EQ(ports.getLastSize(), 2);
    EXPECT_STREQ(table[0].portName, "ttyACM3");

    // Filter back on: both fail the vendor test and are lost, in order.
    ports.isNewPort(true);
    ASSERT_TRUE(a.settle());
    EXPECT_EQ(ports.getSize(true), 0);
    EXPECT_STREQ(ports.getLostPort().portName, "ttyS0");
    const BPort second = ports.getLostPort();
    EXPECT_STREQ(second.portName, "ttyUSB7");
    EXPECT_TRUE(!second.deviceName[0] && !second.deviceId[0]);
    EXPECT_FALSE(ports.isLostPort(true));
}

TEST(PortDiscovery, TableHoldsTheFirstHundred)
{
    Watched w(0, [](FakeInventory& inv) {
        for (int i = 0; i < 130; ++i)
            inv.plug("ttyV" + std::to_string(i), 0, 0);
    });
    w.ports->isNewPort(false);
    ASSERT_TRUE(w.settle());
    EXPECT_EQ(w.ports->getSize(true), 130);
    const BPort* table = w.ports->listPorts(false);
    ASSERT_EQ(w.ports->getLastSize(), 100);
    EXPECT_STREQ(table[99].portName, "ttyV99");
}

TEST(PortDiscovery, TheUdevRuleCoversExactlyTheVendorTable)
{
    std::ifstream in(BRV_UDEV_RULE);
    ASSERT_TRUE(in.good()) << BRV_UDEV_RULE;
    std::set<int> ruled, latency;
    const std::regex vendor(R"re(ATTRS\{idVendor\}=="([0-9a-f]{4})")re");
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (line.empty() || line[0] == '#' || !std::regex_search(line, m, vendor))
            continue;
        const int id = std::stoi(m[1].str(), nullptr, 16);
        if (line.find("SUBSYSTEM==\"tty\"") != std::string::npos) {
            ruled.insert(id);
            EXPECT_NE(line.find("TAG+=\"uaccess\""), std::string::npos) << line;
            EXPECT_NE(line.find("GROUP=\"dialout\""), std::string::npos) << line;
        } else if (line.find("latency_timer}=\"1\"") != std::string::npos) {
            latency.insert(id);
        }
    }
    // Every vendor the watcher takes, and no other; the latency timer for FTDI.
    std::set<int> table;
    BrovaPorts_private e(0, 1000000);
    for (const BridgeVendor& v : bridgeVendors) {
        table.insert(v.ids.vendorId);
        EXPECT_TRUE(BrovaPortsAccess::isCandidate(e, PortRecord{QStringLiteral("/dev/ttyUSB0"), v.ids.vendorId, 1}, true));
    }
    EXPECT_EQ(ruled, table);
    EXPECT_EQ(latency, std::set<int>{0x0403});
}
