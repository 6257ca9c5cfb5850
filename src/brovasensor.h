// Zero-offset holders: one BrovaSensor per channel of a three-axis or
// multi-channel device, one BrovaSensor6D for a six-axis device. The parsers
// subtract the offset from every sample as it is made.
#pragma once

#include "brovapackage.h"
#include "brovapackage6d.h"
#include "brv_global.h"

class BRV_EXPORT BrovaSensor {
public:
    BrovaSensor();
    BrovaPackage offset;  // all zero until a channel is zeroed
};

class BRV_EXPORT BrovaSensor6D {
public:
    BrovaSensor6D();
    BrovaPackage6D offset;
};
