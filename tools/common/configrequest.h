// A configuration as the tools ask it of a sensor: rate, filter and mode,
// each asked or left as the device has it.
#pragma once

#include <string>

#include "sensorconfig.h"

namespace brovatools {

struct ConfigRequest {
    int rate = 0;     // 1000, 333, 100, 30; 0: not asked
    int filter = -1;  // 0, 150, 50, 15; -1: not asked
    int mode = -1;    // 0 raw, 1 vector; -1: not asked
    bool any() const { return rate || filter >= 0 || mode >= 0; }
    // present with the asked fields set.
    SensorConfig appliedTo(SensorConfig present) const;
    // Whether got, what the device reports after sendConfig, holds every
    // asked field.
    bool confirmedBy(const SensorConfig& got) const;
};

// "rate 1000 per second, filter 15 Hz, mode raw"
std::string describeConfig(const SensorConfig& c);

} // namespace brovatools
