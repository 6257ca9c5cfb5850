/// \file
/// Zero-offset holders: one BrovaSensor per channel of a three-axis or
/// multi-channel device, one BrovaSensor6D for a six-axis device. The parsers
/// subtract the offset from every sample as it is made.
#pragma once

#include "brovapackage.h"
#include "brovapackage6d.h"
#include "brv_global.h"

/// The zero offset of one channel of a three-axis or multi-channel device.
class BRV_EXPORT BrovaSensor {
public:
    BrovaSensor();        ///< An offset of all zeros.
    BrovaPackage offset;  ///< all zero until a channel is zeroed
};

/// The zero offset of a six-axis device.
class BRV_EXPORT BrovaSensor6D {
public:
    BrovaSensor6D();        ///< An offset of all zeros.
    BrovaPackage6D offset;  ///< all zero until the sensor is zeroed
};
