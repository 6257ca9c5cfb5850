#include <gtest/gtest.h>

#include "brovapackage6d.h"

namespace {

BrovaPackage6D sample(int base)
{
    BrovaPackage6D p;
    p.Fx = base + 1;
    p.Fy = base + 2;
    p.Fz = base + 3;
    p.Tx = base + 4;
    p.Ty = base + 5;
    p.Tz = base + 6;
    BrovaPackage* subs[] = {&p.sensor1, &p.sensor2, &p.sensor3, &p.sensor4};
    for (int u = 0; u < 4; ++u) {
        *subs[u] = BrovaPackage(BROVA_STREAM_6AXIS);
        subs[u]->s1 = base + 10 * (u + 1) + 1;
        subs[u]->s2 = base + 10 * (u + 1) + 2;
        subs[u]->s3 = base + 10 * (u + 1) + 3;
        subs[u]->s4 = base + 10 * (u + 1) + 4;
        subs[u]->aux = base + 100 + u;
    }
    return p;
}

} // namespace

TEST(BrovaPackage6D, Defaults)
{
    BrovaPackage6D p;
    EXPECT_EQ(p.Fx | p.Fy | p.Fz | p.Tx | p.Ty | p.Tz, 0);
    for (const BrovaPackage* s : {&p.sensor1, &p.sensor2, &p.sensor3, &p.sensor4}) {
        EXPECT_FALSE(s->isCorrect());
        EXPECT_EQ(s->s1, 0);
        EXPECT_EQ(s->config.to_uin8_t(), 0xB0);
    }
}

TEST(BrovaPackage6D, OffsetReachesComponentsAndEverySubPackage)
{
    BrovaPackage6D p = sample(1000);
    BrovaPackage6D off = sample(0);
    p.setInvariant(off);
    EXPECT_EQ(p.Fx, 1000);
    EXPECT_EQ(p.Tz, 1000);
    // Version-5 sub-packages: s1..s4 zeroed and mirrored, vector recomputed.
    EXPECT_EQ(p.sensor3.s1, 1000);
    EXPECT_EQ(p.sensor3.s5, 1000);
    EXPECT_EQ(p.sensor4.aux, 1000);
    EXPECT_EQ(p.sensor2.z, 1000);
    EXPECT_EQ(p.sensor2.x, 0);
}

TEST(BrovaPackage6D, ArithmeticOnComponentsAndSubPackages)
{
    BrovaPackage6D a = sample(100), b = sample(1);
    BrovaPackage6D sum = a + b;
    EXPECT_EQ(sum.Fx, 101 + 2);
    EXPECT_EQ(sum.Tz, 106 + 7);
    EXPECT_EQ(sum.sensor2.s3, 123 + 24);
    for (const BrovaPackage* s : {&sum.sensor1, &sum.sensor2, &sum.sensor3, &sum.sensor4})
        EXPECT_EQ(s->version, BROVA_NONE);  // sums of parsed records are unparsed

    BrovaPackage6D diff = a - b;
    EXPECT_EQ(diff.Fy, 99);
    EXPECT_EQ(diff.sensor4.aux, 99);
    BrovaPackage6D less = a - 100;
    EXPECT_EQ(less.Fz, 3);
    EXPECT_EQ(less.sensor1.s1, 11);

    BrovaPackage6D m = sample(0);
    BrovaPackage6D two;
    two = 2;
    BrovaPackage6D copy = (m *= two);
    EXPECT_EQ(m.Fx, 2);
    EXPECT_EQ(m.sensor1.s1, 22);
    EXPECT_EQ(m.sensor1.x, 22 - 26);  // sub-package invariant re-established (raw, version 5)
    EXPECT_EQ(copy.Tz, m.Tz);

    BrovaPackage6D all;
    all = 7;
    EXPECT_EQ(all.Ty, 7);
    EXPECT_EQ(all.sensor4.aux, 7);
}

TEST(BrovaPackage6D, Division)
{
    BrovaPackage6D p;
    p.Fx = -7;
    p.Tz = 16777217;
    p.sensor1 = BrovaPackage(BROVA_STREAM_3AXIS);
    p.sensor1.s1 = -7;
    p.sensor1.s2 = 16777217;
    p /= 2;
    EXPECT_EQ(p.Fx, -3);           // integer division
    EXPECT_EQ(p.Tz, 8388608);      // integer division: exact
    EXPECT_EQ(p.sensor1.s1, -3);   // single precision, truncated
    EXPECT_EQ(p.sensor1.s2, 8388608);  // 2^24 + 1 rounded before dividing

    // A zero divisor leaves everything as it was, components and sub-packages.
    BrovaPackage6D z = sample(5);
    z /= 0;
    EXPECT_EQ(z.Fx, 6);
    EXPECT_EQ(z.sensor2.s1, 26);

    // By record: components only; a zero component keeps its field.
    BrovaPackage6D n = sample(99);
    BrovaPackage6D d;
    d = 4;
    d.Fy = 0;
    n /= d;
    EXPECT_EQ(n.Fx, 25);
    EXPECT_EQ(n.Fy, 101);
    EXPECT_EQ(n.Tz, 26);
    EXPECT_EQ(n.sensor1.s1, 110);  // untouched
}
