#include "sensorconfig.h"

namespace {

constexpr uint8_t kDefaultValue = 0xB0;
constexpr uint8_t kSpeedMask = 0x18;
constexpr uint8_t kFilterMask = 0x06;
constexpr uint8_t kModeMask = 0x01;

constexpr int kSpeedHz[4] = {1000, 333, 100, 30};
constexpr int kFilterHz[4] = {0, 150, 50, 15};

uint8_t pack(int state, int speed, int filter, int mode)
{
    return static_cast<uint8_t>((state << 5) | ((speed & 3) << 3) | ((filter & 3) << 1) | (mode & 1));
}

// Index of hz in table, or -1 when the table has no such entry.
int codeOf(const int (&table)[4], int hz)
{
    for (int code = 0; code < 4; ++code) {
        if (table[code] == hz)
            return code;
    }
    return -1;
}

} // namespace

SensorConfig::SensorConfig() : value(kDefaultValue) {}

SensorConfig::SensorConfig(sensor_state state, sensor_speed speed, sensor_filter filter, sensor_mode mode)
    : value(pack(state, speed, filter, mode))
{
}

void SensorConfig::set(sensor_state state, sensor_speed speed, sensor_filter filter, sensor_mode mode)
{
    value = pack(state, speed, filter, mode);
}

SensorConfig SensorConfig::null_sensor() const
{
    return SensorConfig();
}

sensor_state SensorConfig::getState() const
{
    return static_cast<sensor_state>(value >> 5);
}

int SensorConfig::getSpeed() const
{
    return kSpeedHz[(value & kSpeedMask) >> 3];
}

int SensorConfig::getFilter() const
{
    return kFilterHz[(value & kFilterMask) >> 1];
}

void SensorConfig::setSpeed(int hz)
{
    const int code = codeOf(kSpeedHz, hz);
    if (code >= 0)
        value = static_cast<uint8_t>((value & ~kSpeedMask) | (code << 3));
}

void SensorConfig::setFilter(int hz)
{
    const int code = codeOf(kFilterHz, hz);
    if (code >= 0)
        value = static_cast<uint8_t>((value & ~kFilterMask) | (code << 1));
}

void SensorConfig::setMode(int m)
{
    if (m == 0)
        value = static_cast<uint8_t>(value & ~kModeMask);
    else if (m > 0)
        value = static_cast<uint8_t>(value | kModeMask);
}
