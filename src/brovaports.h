// BPort: the descriptor of one serial port that carries a sensor.
//
// Three NUL-terminated texts of at most 24 bytes in fields of 25 bytes, one
// directly after the other: 75 bytes, byte-aligned. Port discovery fills it;
// BrovaDAQ::open takes it back by value. It owns nothing; copy it freely
// (a copy holds the same 75 bytes).
#pragma once

#include <cstddef>

#include "brv_global.h"

class BRV_EXPORT BPort {
public:
    static constexpr size_t textSize = 25;  // bytes of each field, NUL included

    // Makes the three texts empty (a NUL in the first byte of each field);
    // the other bytes are left as they are.
    BPort();
    ~BPort() = default;

    // Copies text into field, cut to 24 bytes and always NUL-terminated; a
    // null text gives an empty field. Every writer of a BPort goes through it.
    static void setText(char (&field)[textSize], const char* text);

    char portName[textSize];    // system name of the serial port
    char deviceName[textSize];  // kind text such as "34 v0.9", or "unknown"
    char deviceId[textSize];    // identification text; empty for stream devices
};

static_assert(sizeof(BPort) == 75, "BPort layout is fixed");
static_assert(offsetof(BPort, deviceName) == 25 && offsetof(BPort, deviceId) == 50, "BPort layout is fixed");
