#include <gtest/gtest.h>

#include <climits>

#include "brovapackage.h"

namespace {

// The 23 integer fields, read in declaration order.
std::vector<int32_t> ints(const BrovaPackage& p)
{
    std::vector<int32_t> v = {p.s1, p.s2, p.s3, p.s4, p.s5, p.s6, p.s7, p.s8,
                              p.x, p.y, p.z, p.x2, p.y2, p.z2};
    v.insert(v.end(), std::begin(p.inconsistent), std::end(p.inconsistent));
    v.push_back(p.aux);
    return v;
}

// A package whose fields all differ: s(i) = base + i, x..z = base + 20.., aux.
BrovaPackage filled(brova_version v, int base, bool vectorMode = false)
{
    BrovaPackage p(v);
    int32_t* s[] = {&p.s1, &p.s2, &p.s3, &p.s4, &p.s5, &p.s6, &p.s7, &p.s8};
    for (int i = 0; i < 8; ++i)
        *s[i] = base + 1 + i;
    p.x = base + 21;
    p.y = base + 22;
    p.z = base + 23;
    p.x2 = base + 31;
    p.y2 = base + 32;
    p.z2 = base + 33;
    for (int i = 0; i < 8; ++i)
        p.inconsistent[i] = base + 41 + i;
    p.aux = base + 50;
    p.config.setMode(vectorMode ? 1 : 0);
    return p;
}

} // namespace

TEST(BrovaPackage, DefaultsAndFlags)
{
    BrovaPackage p;
    for (int32_t v : ints(p))
        EXPECT_EQ(v, 0);
    EXPECT_EQ(p.config.to_uin8_t(), 176);
    EXPECT_TRUE(p.isRaw());
    EXPECT_FALSE(p.isCorrect());

    BrovaPackage q(BROVA_STREAM_4CH);
    EXPECT_EQ(ints(q), ints(p));
    EXPECT_EQ(q.version, BROVA_STREAM_4CH);
    EXPECT_TRUE(q.isCorrect());
    q.config.setMode(1);
    EXPECT_FALSE(q.isRaw());
}

TEST(BrovaPackage, SumAndDifferenceAreFreshUnparsedPackages)
{
    BrovaPackage a = filled(BROVA_FRAMED_6AXIS, 100, true);
    BrovaPackage b = filled(BROVA_STREAM_3AXIS, 10);
    BrovaPackage sum = a + b, diff = a - b, less = a - 7;
    const auto ia = ints(a), ib = ints(b), is = ints(sum), id = ints(diff), il = ints(less);
    for (size_t i = 0; i < ia.size(); ++i) {
        EXPECT_EQ(is[i], ia[i] + ib[i]) << "field " << i;
        EXPECT_EQ(id[i], ia[i] - ib[i]) << "field " << i;
        EXPECT_EQ(il[i], ia[i] - 7) << "field " << i;
    }
    for (const BrovaPackage* r : {&sum, &diff, &less}) {
        EXPECT_EQ(r->version, BROVA_NONE);
        EXPECT_EQ(r->config.to_uin8_t(), 0xB0);
        EXPECT_FALSE(r->isCorrect());
    }
    // No setInvariant: the summed vector is kept even though raw mode would
    // recompute it.
    EXPECT_EQ(sum.x, a.x + b.x);
}

TEST(BrovaPackage, AssignValueKeepsTheVectorInvariant)
{
    BrovaPackage raw4(BROVA_STREAM_4CH);
    raw4 = 5;
    EXPECT_EQ(raw4.x, 0);
    EXPECT_EQ(raw4.y, 0);
    EXPECT_EQ(raw4.z, 5);
    EXPECT_EQ(raw4.s1, 5);
    EXPECT_EQ(raw4.x2, 5);
    EXPECT_EQ(raw4.inconsistent[7], 5);
    EXPECT_EQ(raw4.aux, 5);

    BrovaPackage v3(BROVA_STREAM_3AXIS);
    v3 = 5;
    BrovaPackage vec = filled(BROVA_STREAM_4CH, 0, true);
    vec = 5;
    for (int32_t v : ints(v3))
        EXPECT_EQ(v, 5);
    for (int32_t v : ints(vec))
        EXPECT_EQ(v, 5);
    EXPECT_EQ(vec.config.getMode(), 1);  // config and version survive arithmetic
    EXPECT_EQ(vec.version, BROVA_STREAM_4CH);
}

TEST(BrovaPackage, SetInvariantComputesTheFirstVectorOnlyInRawMode)
{
    BrovaPackage p(BROVA_STREAM_4CH);
    p.s1 = 1;
    p.s2 = 2;
    p.s3 = 3;
    p.s4 = 4;
    p.x2 = 9;
    p.setInvariant();
    EXPECT_EQ(p.x, -2);
    EXPECT_EQ(p.y, 2);
    EXPECT_EQ(p.z, 2);
    EXPECT_EQ(p.x2, 9);

    p.s1 = -5;  // sum -5 + 0: division truncates toward zero
    p.s2 = p.s3 = p.s4 = 0;
    p.setInvariant();
    EXPECT_EQ(p.z, -1);

    BrovaPackage v3 = filled(BROVA_STREAM_3AXIS, 0);
    BrovaPackage vec = filled(BROVA_FRAMED_3AXIS, 0, true);
    const auto before3 = ints(v3), beforeVec = ints(vec);
    v3.setInvariant();
    vec.setInvariant();
    EXPECT_EQ(ints(v3), before3);
    EXPECT_EQ(ints(vec), beforeVec);
}

// Offset subtraction, version by version. The sample's fields are 1001...,
// the offset's 1...; every field of the result is checked.
TEST(BrovaPackage, OffsetSubtractionByVersion)
{
    const BrovaPackage off = filled(BROVA_NONE, 0);
    auto zeroed = [&](brova_version v, bool vectorMode) {
        BrovaPackage p = filled(v, 1000, vectorMode);
        p.setInvariant(off);
        return p;
    };
    const int32_t d = 1000;  // every field that takes the offset loses exactly this

    // Device-sent vector zeroed like the readings: 3, 6, 7 (mode does not matter).
    for (brova_version v : {BROVA_STREAM_3AXIS, BROVA_FRAMED_3AXIS, BROVA_FRAMED_4CH}) {
        for (bool vm : {false, true}) {
            BrovaPackage p = zeroed(v, vm);
            EXPECT_EQ(p.s1, d);
            EXPECT_EQ(p.s8, d);
            EXPECT_EQ(p.x, d);
            EXPECT_EQ(p.z, d);
            EXPECT_EQ(p.aux, d);
            EXPECT_EQ(p.x2, p.x);
            EXPECT_EQ(p.y2, p.y);
            EXPECT_EQ(p.z2, p.z);
            EXPECT_EQ(p.inconsistent[0], 1041);
        }
    }

    // 4, raw mode: readings zeroed, vector recomputed, copied to the second.
    BrovaPackage r4 = zeroed(BROVA_STREAM_4CH, false);
    EXPECT_EQ(r4.s1, d);
    EXPECT_EQ(r4.s5, d);
    EXPECT_EQ(r4.x, 0);  // s1 - s3, both zeroed to d
    EXPECT_EQ(r4.y, 0);
    EXPECT_EQ(r4.z, d);
    EXPECT_EQ(r4.x2, 0);
    EXPECT_EQ(r4.z2, d);
    EXPECT_EQ(r4.aux, d);

    // 4, vector mode: only the vector and aux.
    BrovaPackage v4 = zeroed(BROVA_STREAM_4CH, true);
    EXPECT_EQ(v4.s1, 1001);
    EXPECT_EQ(v4.s8, 1008);
    EXPECT_EQ(v4.x, d);
    EXPECT_EQ(v4.z, d);
    EXPECT_EQ(v4.aux, d);
    EXPECT_EQ(v4.x2, 1031);

    // 5: s1..s4 zeroed and mirrored into s5..s8; the offset's s5..s8 ignored.
    BrovaPackage p5 = zeroed(BROVA_STREAM_6AXIS, false);
    EXPECT_EQ(p5.s1, d);
    EXPECT_EQ(p5.s4, d);
    EXPECT_EQ(p5.s5, p5.s1);
    EXPECT_EQ(p5.s8, p5.s4);
    EXPECT_EQ(p5.x, 0);
    EXPECT_EQ(p5.z, d);
    EXPECT_EQ(p5.x2, p5.x);
    EXPECT_EQ(p5.aux, d);

    // 8: both vectors from their own readings.
    BrovaPackage p8 = filled(BROVA_FRAMED_6AXIS, 0);
    p8.s5 = 10;
    p8.s6 = 20;
    p8.s7 = 30;
    p8.s8 = 45;
    p8.setInvariant(BrovaPackage());
    EXPECT_EQ(p8.x, 1 - 3);
    EXPECT_EQ(p8.y, 4 - 2);
    EXPECT_EQ(p8.z, (1 + 2 + 3 + 4) / 4);
    EXPECT_EQ(p8.x2, 10 - 30);
    EXPECT_EQ(p8.y2, 45 - 20);
    EXPECT_EQ(p8.z2, (10 + 20 + 30 + 45) / 4);

    // Versions the parsers never produce: nothing at all, not even aux.
    for (int v : {0, 1, 2, 9, 42}) {
        BrovaPackage p = filled(static_cast<brova_version>(v), 1000);
        const auto before = ints(p);
        p.setInvariant(off);
        EXPECT_EQ(ints(p), before) << "version " << v;
    }

    // An all-zero offset on version 5 still mirrors s1..s4.
    BrovaPackage m5 = filled(BROVA_STREAM_6AXIS, 0);
    m5.setInvariant(BrovaPackage());
    EXPECT_EQ(m5.s5, 1);
    EXPECT_EQ(m5.s8, 4);
}

TEST(BrovaPackage, InconsistentKeepsTheReadingsAsReceived)
{
    BrovaPackage p = filled(BROVA_FRAMED_3AXIS, 500);
    p.saveInconsistent();
    p.setInvariant(filled(BROVA_NONE, 0));
    EXPECT_EQ(p.s1, 500);
    EXPECT_EQ(p.x, 500);
    p.saveAsInconsistent();
    EXPECT_EQ(p.s1, 501);
    EXPECT_EQ(p.s8, 508);
    EXPECT_EQ(p.x, 500);  // vectors stay zeroed
}

TEST(BrovaPackage, DivisionIsSinglePrecisionAndTruncates)
{
    BrovaPackage p(BROVA_STREAM_3AXIS);  // version 3: no vector recomputation
    p.s1 = 7;
    p.s2 = -7;
    p.s3 = 16777217;  // 2^24 + 1 is not a float: it rounds to 2^24 first
    p.s4 = INT_MIN;
    p.aux = INT_MAX;
    p /= 2;
    EXPECT_EQ(p.s1, 3);
    EXPECT_EQ(p.s2, -3);
    EXPECT_EQ(p.s3, 8388608);
    EXPECT_EQ(p.s4, INT_MIN / 2);
    EXPECT_EQ(p.aux, 1073741824);  // float(INT_MAX) is 2^31

    // Quotients outside int32 are clamped, never converted out of range.
    BrovaPackage big(BROVA_STREAM_3AXIS);
    big.s1 = INT_MIN;
    big.s2 = INT_MAX;
    big /= -1;
    EXPECT_EQ(big.s1, INT_MAX);
    EXPECT_EQ(big.s2, INT_MIN);  // float(INT_MAX) is 2^31

    // A zero divisor leaves the fields as they were.
    BrovaPackage z = filled(BROVA_STREAM_3AXIS, 10);
    const auto before = ints(z);
    z /= 0;
    EXPECT_EQ(ints(z), before);

    // By package: each field by the same field; a zero field keeps its value.
    BrovaPackage n = filled(BROVA_STREAM_3AXIS, 100);
    BrovaPackage dv(BROVA_STREAM_3AXIS);
    dv = 2;
    dv.s2 = 0;
    dv.aux = -3;
    BrovaPackage q = (n /= dv);
    EXPECT_EQ(n.s1, 50);
    EXPECT_EQ(n.s2, 102);
    EXPECT_EQ(n.aux, -50);
    EXPECT_EQ(ints(q), ints(n));  // the result is a copy of the new value

    // In raw mode the vector follows the divided readings.
    BrovaPackage raw(BROVA_STREAM_4CH);
    raw.s1 = 10;
    raw.s3 = 3;
    raw /= 2;
    EXPECT_EQ(raw.x, 5 - 1);
}

TEST(BrovaPackage, ProductWrapsAndReestablishesTheInvariant)
{
    BrovaPackage a(BROVA_STREAM_4CH);
    a = 3;
    BrovaPackage b(BROVA_STREAM_4CH);
    b = 1;
    b.s1 = 65536;
    a.s1 = 65536;
    a *= b;
    EXPECT_EQ(a.s1, 0);  // 2^32 wraps to 0
    EXPECT_EQ(a.s2, 3);
    EXPECT_EQ(a.x, 0 - 3);
    EXPECT_EQ(a.z, (0 + 3 + 3 + 3) / 4);
}
