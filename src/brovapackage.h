// BrovaPackage: one sample of one sensor channel, and brova_version, the kind
// of device and protocol a sample was parsed under.
//
// Hosts read packages (single records, arrays of 16 and whole package arrays)
// by address, so the layout below is fixed: plain fields in declaration order
// at natural alignment, no base class, no virtual functions, 100 bytes.
// A package owns nothing; copy it freely.
#pragma once

#include <cstddef>
#include <cstdint>

#include "brv_global.h"
#include "sensorconfig.h"

enum brova_version : int32_t {
    BROVA_NONE = 0,          // nothing recognised yet
    BROVA_STREAM_3AXIS = 3,  // kind 68: one three-axis sensor, stream frames 37 44
    BROVA_STREAM_4CH = 4,    // kind 94: four three-axis channels, stream frames 37 5E
    BROVA_STREAM_6AXIS = 5,  // kind 95: six-axis sensor, stream frames 37 5F
    BROVA_FRAMED_3AXIS = 6,  // kind 31: one three-axis sensor, addressed frames
    BROVA_FRAMED_4CH = 7,    // kind 34: four three-axis channels, addressed frames
    BROVA_FRAMED_6AXIS = 8   // kind 64: six-axis sensor, addressed frames
};

class BRV_EXPORT BrovaPackage {
public:
    // The 23 integer fields 0, config 0xB0 (raw mode), version 0.
    BrovaPackage();
    explicit BrovaPackage(brova_version v);
    // Does nothing. It is declared so that arrays of packages carry their
    // element count in front of the first element (see allocators.h).
    ~BrovaPackage() {}

    bool isCorrect() const;  // version is not 0
    bool isRaw() const { return config.getMode() == 0; }  // mode bit of config is 0

    // In raw mode and for every version but 3: x = s1 - s3, y = s4 - s2,
    // z = (s1 + s2 + s3 + s4) / 4 truncated toward zero. x2, y2, z2 untouched.
    void setInvariant();
    // Subtracts a zero offset; which fields take part depends on version.
    // inconsistent, config and version never change.
    void setInvariant(const BrovaPackage& offset);
    // inconsistent[i] = s(i+1), and the reverse.
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
    void saveAsInconsistent();

    // Every integer field = v, then setInvariant(). (Inline: the parsers
    // clear their working samples with it after every frame.)
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
    BrovaPackage operator+(const BrovaPackage& b) const;
    BrovaPackage operator-(const BrovaPackage& b) const;
    BrovaPackage operator-(int v) const;
    // Field by field (32-bit wrap-around), then setInvariant(); returns a copy.
    BrovaPackage operator*=(const BrovaPackage& b);
    // Field by field in single precision, truncated toward zero, then
    // setInvariant(); returns a copy. A zero divisor leaves its dividend field
    // as it was (setInvariant still recomputes x, y, z from the readings in
    // raw mode), and a quotient beyond the int32 range is clamped to it.
    BrovaPackage operator/=(int d);
    BrovaPackage operator/=(const BrovaPackage& b);

    int32_t s1, s2, s3, s4, s5, s6, s7, s8;
    int32_t x, y, z;
    int32_t x2, y2, z2;
    int32_t inconsistent[8];  // s1 ... s8 as received, before the offset
    int32_t aux;
    SensorConfig config;
    brova_version version;
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
