// The sensor kinds, as the tools name and open them.
#pragma once

#include <string>

#include "brovapackage.h"

namespace brovatools {

struct Kind {
    int code;              // 31, 34, 64, 68, 94, 95
    const char* text;      // the discovery text BrovaDAQ::open reads, e.g. "34 v0.9"
    const char* what;      // e.g. "four three-axis channels, framed protocol"
    brova_version version;  // what BrovaDAQ serves it as
    bool sixAxis;          // 64, 95
    bool fourChannel;      // 34, 94
};

// Every kind, by code.
inline constexpr Kind kinds[] = {
    {31, "31 v0.9", "one three-axis sensor, framed protocol", BROVA_FRAMED_3AXIS, false, false},
    {34, "34 v0.9", "four three-axis channels, framed protocol", BROVA_FRAMED_4CH, false, true},
    {64, "64 v0.9", "six-axis force/torque sensor, framed protocol", BROVA_FRAMED_6AXIS, true, false},
    {68, "68 v1.1", "one three-axis sensor, stream protocol", BROVA_STREAM_3AXIS, false, false},
    {94, "94 v0.9", "four three-axis channels, stream protocol", BROVA_STREAM_4CH, false, true},
    {95, "95 v1.0", "six-axis force/torque sensor, stream protocol", BROVA_STREAM_6AXIS, true, false},
};

// The codes, for messages: "31, 34, 64, 68, 94, 95".
std::string kindCodes();
// The kind of a code, or null.
const Kind* kindOf(int code);
// The kind served under a version, or null (0: nothing recognised).
const Kind* kindOfVersion(brova_version v);

// The path of a port as discovery names it: a system name such as "ttyUSB0"
// is under /dev; a watched path stands as it is.
std::string portPath(const char* portName);

} // namespace brovatools
