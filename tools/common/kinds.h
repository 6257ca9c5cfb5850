// The sensor kinds, as the tools name and open them.
#pragma once

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

// The kind of a code, or null.
const Kind* kindOf(int code);
// The kind served under a version, or null (0: nothing recognised).
const Kind* kindOfVersion(brova_version v);

} // namespace brovatools
