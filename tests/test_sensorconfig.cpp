#include <gtest/gtest.h>

#include "sensorconfig.h"

TEST(SensorConfig, DefaultAndPacking)
{
    SensorConfig c;
    EXPECT_EQ(c.to_uin8_t(), 176);
    EXPECT_EQ(c.getState(), SENSOR_STATE_NORMAL);
    EXPECT_EQ(c.getSpeed(), 100);
    EXPECT_EQ(c.getFilter(), 0);
    EXPECT_EQ(c.getMode(), 0);

    SensorConfig p(SENSOR_STATE_NORMAL, SENSOR_SPEED_1000, SENSOR_FILTER_15, SENSOR_MODE_VECTOR);
    EXPECT_EQ(p.to_uin8_t(), 0xA7);
    EXPECT_EQ(p.getSpeed(), 1000);
    EXPECT_EQ(p.getFilter(), 15);
    EXPECT_EQ(p.getMode(), 1);

    // Out-of-range fields are masked: only the low bits survive, nothing
    // spills into a neighbouring field.
    SensorConfig m(static_cast<sensor_state>(9), static_cast<sensor_speed>(5),
                   static_cast<sensor_filter>(6), static_cast<sensor_mode>(2));
    EXPECT_EQ(m.to_uin8_t(), (1 << 5) | (1 << 3) | (2 << 1) | 0);
    m.set(SENSOR_STATE_3, SENSOR_SPEED_30, SENSOR_FILTER_50, SENSOR_MODE_RAW);
    EXPECT_EQ(m.to_uin8_t(), (3 << 5) | (3 << 3) | (2 << 1));
}

TEST(SensorConfig, EveryByteUnpacksAndRoundTrips)
{
    const int speeds[] = {1000, 333, 100, 30};
    const int filters[] = {0, 150, 50, 15};
    for (int v = 0; v < 256; ++v) {
        SensorConfig c;
        c.value = static_cast<uint8_t>(v);
        EXPECT_EQ(c.getState(), v >> 5);
        EXPECT_EQ(c.getSpeed(), speeds[(v >> 3) & 3]);
        EXPECT_EQ(c.getFilter(), filters[(v >> 1) & 3]);
        EXPECT_EQ(c.getMode(), v & 1);
        c.setSpeed(c.getSpeed());
        c.setFilter(c.getFilter());
        c.setMode(c.getMode());
        EXPECT_EQ(c.to_uin8_t(), v) << "round trip changed byte " << v;
    }
    SensorConfig ff;
    ff.value = 0xFF;
    EXPECT_EQ(ff.getState(), 7);
    EXPECT_EQ(ff.getSpeed(), 30);
    EXPECT_EQ(ff.getFilter(), 15);
    EXPECT_EQ(ff.getMode(), 1);
}

TEST(SensorConfig, SettersTouchOnlyTheirBitsAndIgnoreUnknownValues)
{
    SensorConfig c;
    c.value = 0x00;
    c.setSpeed(30);
    EXPECT_EQ(c.to_uin8_t(), 0x18);
    c.setSpeed(333);
    EXPECT_EQ(c.to_uin8_t(), 0x08);
    c.setFilter(50);
    EXPECT_EQ(c.to_uin8_t(), 0x0C);
    c.setMode(7);  // any positive number sets the mode bit
    EXPECT_EQ(c.to_uin8_t(), 0x0D);
    c.setMode(0);
    EXPECT_EQ(c.to_uin8_t(), 0x0C);

    c.value = 0xE5;
    c.setSpeed(250);
    c.setSpeed(0);
    c.setFilter(500);
    c.setFilter(1);
    c.setMode(-1);
    EXPECT_EQ(c.to_uin8_t(), 0xE5);
}

TEST(SensorConfig, NullSensorLeavesTheObjectAlone)
{
    SensorConfig c;
    c.value = 0x00;
    EXPECT_EQ(c.null_sensor().to_uin8_t(), 0xB0);
    EXPECT_EQ(c.to_uin8_t(), 0x00);
}
