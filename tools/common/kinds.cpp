#include "kinds.h"

namespace brovatools {

namespace {

const Kind kKinds[] = {
    {31, "31 v0.9", "one three-axis sensor, framed protocol", BROVA_FRAMED_3AXIS, false, false},
    {34, "34 v0.9", "four three-axis channels, framed protocol", BROVA_FRAMED_4CH, false, true},
    {64, "64 v0.9", "six-axis force/torque sensor, framed protocol", BROVA_FRAMED_6AXIS, true, false},
    {68, "68 v1.1", "one three-axis sensor, stream protocol", BROVA_STREAM_3AXIS, false, false},
    {94, "94 v0.9", "four three-axis channels, stream protocol", BROVA_STREAM_4CH, false, true},
    {95, "95 v1.0", "six-axis force/torque sensor, stream protocol", BROVA_STREAM_6AXIS, true, false},
};

} // namespace

const Kind* kindOf(int code)
{
    for (const Kind& k : kKinds)
        if (k.code == code)
            return &k;
    return nullptr;
}

const Kind* kindOfVersion(brova_version v)
{
    for (const Kind& k : kKinds)
        if (k.version == v)
            return &k;
    return nullptr;
}

} // namespace brovatools
