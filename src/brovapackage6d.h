/// \file
/// BrovaPackage6D: one sample of a six-axis sensor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "brovapackage.h"
#include "brv_global.h"

/// One sample of a six-axis sensor: force and torque on three axes and the
/// four three-axis sensing units the sensor is built of.
///
/// Hosts read it by address: plain fields in declaration order, 424 bytes.
/// It owns nothing; copy it freely.
class BRV_EXPORT BrovaPackage6D {
public:
    /// Components 0, four default sub-packages.
    BrovaPackage6D();
    /// Declared so that arrays carry their element count (see allocators.h).
    ~BrovaPackage6D() {}

    /// Components minus the offset's; each sub-package subtracts the offset's
    /// sub-package of the same number (by its own version).
    void setInvariant(const BrovaPackage6D& offset);

    /// Components = v; each sub-package = v.
    BrovaPackage6D& operator=(int v);
    // Fresh records: components and sub-packages combined one by one; the
    // sub-packages of the result carry version 0 and the default config.
    BrovaPackage6D operator+(const BrovaPackage6D& b) const;  ///< The sum, as a fresh record.
    BrovaPackage6D operator-(const BrovaPackage6D& b) const;  ///< The difference, as a fresh record.
    BrovaPackage6D operator-(int v) const;                    ///< Every component and field less v, as a fresh record.
    /// Components multiplied (32-bit wrap-around), sub-packages with their
    /// own operator*=; returns a copy of this record after the change.
    BrovaPackage6D operator*=(const BrovaPackage6D& b);
    /// Components by integer division truncated toward zero, sub-packages with
    /// their single-precision operator/=; returns a copy. A zero divisor leaves
    /// the components and the sub-packages' fields as they were, except the
    /// vectors that each sub-package's invariant recomputes in raw mode.
    BrovaPackage6D operator/=(int d);
    /// Components only, each by b's same component in single precision,
    /// truncated toward zero; a zero component leaves its field as it was.
    /// The sub-packages are not touched.
    BrovaPackage6D operator/=(const BrovaPackage6D& b);

    int32_t Fx;  ///< force along x
    int32_t Fy;  ///< force along y
    int32_t Fz;  ///< force along z
    int32_t Tx;  ///< torque about x
    int32_t Ty;  ///< torque about y
    int32_t Tz;  ///< torque about z
    // The four three-axis sensing units: their readings, aux, config and
    // version from the same frame, zero offset subtracted.
    BrovaPackage sensor1;  ///< sensing unit 1
    BrovaPackage sensor2;  ///< sensing unit 2
    BrovaPackage sensor3;  ///< sensing unit 3
    BrovaPackage sensor4;  ///< sensing unit 4
};

static_assert(sizeof(BrovaPackage6D) == 424, "BrovaPackage6D layout is fixed");
static_assert(offsetof(BrovaPackage6D, Tx) == 12, "BrovaPackage6D layout is fixed");
static_assert(offsetof(BrovaPackage6D, sensor1) == 24, "BrovaPackage6D layout is fixed");
static_assert(offsetof(BrovaPackage6D, sensor4) == 324, "BrovaPackage6D layout is fixed");
