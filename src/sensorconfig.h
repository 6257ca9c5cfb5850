/// \file
/// SensorConfig: a sensor's state, sample rate, output filter and output mode
/// packed into one byte, and the enumerations of its fields.
#pragma once

#include <cstdint>

#include "brv_global.h"

/// The state field (bits 7..5) of a configuration byte; 5 is the normal state.
enum sensor_state {
    SENSOR_STATE_0 = 0,       ///< state 0
    SENSOR_STATE_1 = 1,       ///< state 1
    SENSOR_STATE_2 = 2,       ///< state 2
    SENSOR_STATE_3 = 3,       ///< state 3
    SENSOR_STATE_4 = 4,       ///< state 4
    SENSOR_STATE_NORMAL = 5,  ///< the normal state
    SENSOR_STATE_6 = 6,       ///< state 6
    SENSOR_STATE_7 = 7        ///< state 7
};

/// The speed field (bits 4..3): the sample rate.
enum sensor_speed {
    SENSOR_SPEED_1000 = 0,  ///< 1000 samples per second
    SENSOR_SPEED_333 = 1,   ///< 333 samples per second
    SENSOR_SPEED_100 = 2,   ///< 100 samples per second
    SENSOR_SPEED_30 = 3     ///< 30 samples per second
};

/// The filter field (bits 2..1): the corner frequency of the device's output filter.
enum sensor_filter {
    SENSOR_FILTER_NONE = 0,  ///< no filter
    SENSOR_FILTER_150 = 1,   ///< 150 Hz
    SENSOR_FILTER_50 = 2,    ///< 50 Hz
    SENSOR_FILTER_15 = 3     ///< 15 Hz
};

/// The mode field (bit 0): what the device sends.
enum sensor_mode {
    SENSOR_MODE_RAW = 0,    ///< raw readings
    SENSOR_MODE_VECTOR = 1  ///< the device sends the force vector
};

/// A sensor's state, sample rate, output filter and output mode packed into
/// one byte. The byte travels unchanged to and from the stream family of
/// devices; the framed family is translated from and to it.
///
///     bits 7..5  state   (5 is the normal state)
///     bits 4..3  speed   0 = 1000, 1 = 333, 2 = 100, 3 = 30 samples per second
///     bits 2..1  filter  0 = none, 1 = 150 Hz, 2 = 50 Hz, 3 = 15 Hz
///     bit  0     mode    0 = raw readings, 1 = the device sends the force vector
///
/// A plain one-byte value type: copy it freely; it owns nothing.
class BRV_EXPORT SensorConfig {
public:
    /// value = 0xB0: state 5, 100 samples per second, no filter, raw mode.
    SensorConfig();
    /// Packs the four fields; speed and filter are cut to two bits, mode to
    /// one, and the state loses whatever does not fit bits 7..5.
    SensorConfig(sensor_state state, sensor_speed speed, sensor_filter filter, sensor_mode mode);

    /// The same packing, replacing value.
    void set(sensor_state state, sensor_speed speed, sensor_filter filter, sensor_mode mode);

    /// A configuration holding the default byte 0xB0; this object is unchanged.
    SensorConfig null_sensor() const;

    /// The byte itself (value).
    uint8_t to_uin8_t() const { return value; }

    sensor_state getState() const;  ///< The state field.
    int getSpeed() const;   ///< Samples per second: 1000, 333, 100 or 30.
    int getFilter() const;  ///< Filter corner in Hz: 0 (none), 150, 50 or 15.
    int getMode() const { return value & 1; }  ///< The mode bit: 0 or 1.

    /// The setters take hertz (speed: samples per second), not field codes.
    /// A number without a code (say 250 or 500) leaves value unchanged.
    void setSpeed(int hz);
    /// The filter's corner in Hz: 0 (none), 150, 50 or 15; another number
    /// leaves value unchanged.
    void setFilter(int hz);
    /// 0 clears the mode bit, a positive number sets it, a negative one
    /// changes nothing.
    void setMode(int m);

    uint8_t value;  ///< The configuration byte.
};

static_assert(sizeof(SensorConfig) == 1, "SensorConfig is one byte on the wire and in records");
