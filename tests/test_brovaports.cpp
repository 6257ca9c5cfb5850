#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "brovaports.h"

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
