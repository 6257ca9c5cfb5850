/// \file
/// BrovaPackage: one sample of one sensor channel, and brova_version, the kind
/// of device and protocol a sample was parsed under.
#pragma once

#include <cstddef>
#include <cstdint>

#include "brv_global.h"
#include "sensorconfig.h"

/// The kind of device and protocol a sample was parsed under (a 32-bit value
/// in every record).
enum brova_version : int32_t {
    BROVA_NONE = 0,          ///< nothing recognised yet
    BROVA_STREAM_3AXIS = 3,  ///< kind 68: one three-axis sensor, stream frames 37 44
    BROVA_STREAM_4CH = 4,    ///< kind 94: four three-axis channels, stream frames 37 5E
    BROVA_STREAM_6AXIS = 5,  ///< kind 95: six-axis sensor, stream frames 37 5F
    BROVA_FRAMED_3AXIS = 6,  ///< kind 31: one three-axis sensor, addressed frames
    BROVA_FRAMED_4CH = 7,    ///< kind 34: four three-axis channels, addressed frames
    BROVA_FRAMED_6AXIS = 8   ///< kind 64: six-axis sensor, addressed frames
};

/// One sample of one sensor channel.
///
/// Hosts read packages (single records, arrays of 16 and whole package arrays)
/// by address, so the layout below is fixed: plain fields in declaration order
/// at natural alignment, no base class, no virtual functions, 100 bytes.
/// A package owns nothing; copy it freely.
class BRV_EXPORT BrovaPackage {
public:
    /// The 23 integer fields 0, config 0xB0 (raw mode), version 0.
    BrovaPackage();
    /// The same, with version v.
    explicit BrovaPackage(brova_version v);
    /// Does nothing. It is declared so that arrays of packages carry their
    /// element count in front of the first element (see allocators.h).
    ~BrovaPackage() {}

    bool isCorrect() const;  ///< True when version is not 0.
    bool isRaw() const { return config.getMode() == 0; }  ///< True when the mode bit of config is 0.

    /// In raw mode and for every version but 3: x = s1 - s3, y = s4 - s2,
    /// z = (s1 + s2 + s3 + s4) / 4 truncated toward zero. x2, y2, z2 untouched.
    void setInvariant();
    /// Subtracts a zero offset; which fields take part depends on version.
    /// inconsistent, config and version never change.
    void setInvariant(const BrovaPackage& offset);
    /// inconsistent[i] = s(i+1).
    void saveInconsistent()
    {
        inconsistent[0] = s1;
        inconsistent[1] = s2;
        inconsistent[2] = s3;
        inconsistent[3] = s4;
        inconsistent[4] = s5;
        inconsistent[5] = s6;
        inconsistent[6] = s7;
        inconsistent[7] = s8;
    }
    /// s(i+1) = inconsistent[i], the reverse of saveInconsistent().
    void saveAsInconsistent();

    /// Every integer field = v, then setInvariant(). (Inline: the parsers
    /// clear their working samples with it after every frame.)
    BrovaPackage& operator=(int v)
    {
        s1 = s2 = s3 = s4 = s5 = s6 = s7 = s8 = v;
        x = y = z = x2 = y2 = z2 = v;
        for (int32_t& i : inconsistent)
            i = v;
        aux = v;
        if (v != 0)
            setInvariant();  // all zero already satisfies it
        return *this;
    }
    // Field by field into a fresh default package (config 0xB0, version 0).
    BrovaPackage operator+(const BrovaPackage& b) const;  ///< The sum, field by field, in a fresh default package.
    BrovaPackage operator-(const BrovaPackage& b) const;  ///< The difference, field by field, in a fresh default package.
    BrovaPackage operator-(int v) const;                  ///< Every field less v, in a fresh default package.
    /// Field by field (32-bit wrap-around), then setInvariant(); returns a copy.
    BrovaPackage operator*=(const BrovaPackage& b);
    /// Field by field in single precision, truncated toward zero, then
    /// setInvariant(); returns a copy. A zero divisor leaves its dividend field
    /// as it was (setInvariant still recomputes x, y, z from the readings in
    /// raw mode), and a quotient beyond the int32 range is clamped to it.
    BrovaPackage operator/=(int d);
    /// The same, each field by b's same field.
    BrovaPackage operator/=(const BrovaPackage& b);

    // The raw readings of up to eight sensing elements, zero offset subtracted;
    // the force vector, sent by the device or computed from s1 ... s4
    // (setInvariant()); the second vector, from s5 ... s8 where a device has
    // them, otherwise a copy of x, y, z.
    int32_t s1;  ///< reading of sensing element 1, zero offset subtracted
    int32_t s2;  ///< reading of sensing element 2, zero offset subtracted
    int32_t s3;  ///< reading of sensing element 3, zero offset subtracted
    int32_t s4;  ///< reading of sensing element 4, zero offset subtracted
    int32_t s5;  ///< reading of sensing element 5, zero offset subtracted
    int32_t s6;  ///< reading of sensing element 6, zero offset subtracted
    int32_t s7;  ///< reading of sensing element 7, zero offset subtracted
    int32_t s8;  ///< reading of sensing element 8, zero offset subtracted
    int32_t x;   ///< force vector, x: sent by the device, or s1 - s3
    int32_t y;   ///< force vector, y: sent by the device, or s4 - s2
    int32_t z;   ///< force vector, z: sent by the device, or (s1 + s2 + s3 + s4) / 4
    int32_t x2;  ///< second vector, x (from s5 ... s8, or a copy of x)
    int32_t y2;  ///< second vector, y (from s5 ... s8, or a copy of y)
    int32_t z2;  ///< second vector, z (from s5 ... s8, or a copy of z)
    int32_t inconsistent[8];  ///< s1 ... s8 as received, before the offset
    int32_t aux;              ///< A further per-sensor reading every data frame carries (16 bits, unsigned)
    SensorConfig config;      ///< The configuration sent with the sample.
    brova_version version;    ///< The protocol it was parsed under (BROVA_NONE: none).
};

static_assert(sizeof(brova_version) == 4, "brova_version is 32 bits");
static_assert(sizeof(BrovaPackage) == 100, "BrovaPackage layout is fixed");
static_assert(offsetof(BrovaPackage, s1) == 0, "BrovaPackage layout is fixed");
static_assert(offsetof(BrovaPackage, x) == 32, "BrovaPackage layout is fixed");
static_assert(offsetof(BrovaPackage, x2) == 44, "BrovaPackage layout is fixed");
static_assert(offsetof(BrovaPackage, inconsistent) == 56, "BrovaPackage layout is fixed");
static_assert(offsetof(BrovaPackage, aux) == 88, "BrovaPackage layout is fixed");
static_assert(offsetof(BrovaPackage, config) == 92, "BrovaPackage layout is fixed");
static_assert(offsetof(BrovaPackage, version) == 96, "BrovaPackage layout is fixed");
