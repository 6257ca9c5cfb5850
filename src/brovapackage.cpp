#include "brovapackage.h"

#include <array>

#include "arith.h"

namespace {

constexpr int kFields = 23;

// The 23 integer fields in declaration order.
std::array<int32_t*, kFields> fields(BrovaPackage& p)
{
    return {&p.s1, &p.s2, &p.s3, &p.s4, &p.s5, &p.s6, &p.s7, &p.s8,
            &p.x, &p.y, &p.z, &p.x2, &p.y2, &p.z2,
            &p.inconsistent[0], &p.inconsistent[1], &p.inconsistent[2], &p.inconsistent[3],
            &p.inconsistent[4], &p.inconsistent[5], &p.inconsistent[6], &p.inconsistent[7],
            &p.aux};
}

std::array<const int32_t*, kFields> fields(const BrovaPackage& p)
{
    auto f = fields(const_cast<BrovaPackage&>(p));
    std::array<const int32_t*, kFields> out{};
    for (int i = 0; i < kFields; ++i)
        out[i] = f[i];
    return out;
}

template <class Op>
BrovaPackage combine(const BrovaPackage& a, const BrovaPackage& b, Op op)
{
    BrovaPackage r;
    auto fr = fields(r);
    auto fa = fields(a);
    auto fb = fields(b);
    for (int i = 0; i < kFields; ++i)
        *fr[i] = op(*fa[i], *fb[i]);
    return r;
}

// First vector from s1 ... s4 (and the second from s5 ... s8).
void firstVector(BrovaPackage& p)
{
    using namespace brova::arith;
    p.x = sub(p.s1, p.s3);
    p.y = sub(p.s4, p.s2);
    p.z = add(add(p.s1, p.s2), add(p.s3, p.s4)) / 4;
}

void secondVector(BrovaPackage& p)
{
    using namespace brova::arith;
    p.x2 = sub(p.s5, p.s7);
    p.y2 = sub(p.s8, p.s6);
    p.z2 = add(add(p.s5, p.s6), add(p.s7, p.s8)) / 4;
}

void copyVector(BrovaPackage& p)
{
    p.x2 = p.x;
    p.y2 = p.y;
    p.z2 = p.z;
}

void subReadings(BrovaPackage& p, const BrovaPackage& o)
{
    using brova::arith::sub;
    p.s1 = sub(p.s1, o.s1);
    p.s2 = sub(p.s2, o.s2);
    p.s3 = sub(p.s3, o.s3);
    p.s4 = sub(p.s4, o.s4);
    p.s5 = sub(p.s5, o.s5);
    p.s6 = sub(p.s6, o.s6);
    p.s7 = sub(p.s7, o.s7);
    p.s8 = sub(p.s8, o.s8);
}

void subVector(BrovaPackage& p, const BrovaPackage& o)
{
    using brova::arith::sub;
    p.x = sub(p.x, o.x);
    p.y = sub(p.y, o.y);
    p.z = sub(p.z, o.z);
}

} // namespace

BrovaPackage::BrovaPackage() : BrovaPackage(BROVA_NONE) {}

BrovaPackage::BrovaPackage(brova_version v)
    : s1(0), s2(0), s3(0), s4(0), s5(0), s6(0), s7(0), s8(0),
      x(0), y(0), z(0), x2(0), y2(0), z2(0),
      inconsistent{0, 0, 0, 0, 0, 0, 0, 0}, aux(0), config(), version(v)
{
}

bool BrovaPackage::isCorrect() const
{
    return version != BROVA_NONE;
}

void BrovaPackage::setInvariant()
{
    if (version != BROVA_STREAM_3AXIS && isRaw())
        firstVector(*this);
}

void BrovaPackage::setInvariant(const BrovaPackage& o)
{
    using brova::arith::sub;
    switch (version) {
    case BROVA_STREAM_3AXIS:
    case BROVA_FRAMED_3AXIS:
    case BROVA_FRAMED_4CH:
        // The device sends the vector: it is zeroed like the readings.
        subReadings(*this, o);
        subVector(*this, o);
        aux = sub(aux, o.aux);
        copyVector(*this);
        break;
    case BROVA_STREAM_4CH:
        if (isRaw()) {
            subReadings(*this, o);
            aux = sub(aux, o.aux);
            firstVector(*this);
            copyVector(*this);
        } else {
            subVector(*this, o);
            aux = sub(aux, o.aux);
        }
        break;
    case BROVA_STREAM_6AXIS:
        // Each sensing unit of a six-axis stream has four elements; s5 ... s8
        // mirror them.
        s1 = sub(s1, o.s1);
        s2 = sub(s2, o.s2);
        s3 = sub(s3, o.s3);
        s4 = sub(s4, o.s4);
        s5 = s1;
        s6 = s2;
        s7 = s3;
        s8 = s4;
        aux = sub(aux, o.aux);
        firstVector(*this);
        copyVector(*this);
        break;
    case BROVA_FRAMED_6AXIS:
        subReadings(*this, o);
        aux = sub(aux, o.aux);
        firstVector(*this);
        secondVector(*this);
        break;
    default:
        break;  // not a parsed sample: nothing to zero
    }
}

void BrovaPackage::saveAsInconsistent()
{
    s1 = inconsistent[0];
    s2 = inconsistent[1];
    s3 = inconsistent[2];
    s4 = inconsistent[3];
    s5 = inconsistent[4];
    s6 = inconsistent[5];
    s7 = inconsistent[6];
    s8 = inconsistent[7];
}

BrovaPackage BrovaPackage::operator+(const BrovaPackage& b) const
{
    return combine(*this, b, brova::arith::add);
}

BrovaPackage BrovaPackage::operator-(const BrovaPackage& b) const
{
    return combine(*this, b, brova::arith::sub);
}

BrovaPackage BrovaPackage::operator-(int v) const
{
    BrovaPackage r;
    auto fr = fields(r);
    auto fa = fields(*this);
    for (int i = 0; i < kFields; ++i)
        *fr[i] = brova::arith::sub(*fa[i], v);
    return r;
}

BrovaPackage BrovaPackage::operator*=(const BrovaPackage& b)
{
    auto fa = fields(*this);
    auto fb = fields(b);
    for (int i = 0; i < kFields; ++i)
        *fa[i] = brova::arith::mul(*fa[i], *fb[i]);
    setInvariant();
    return *this;
}

BrovaPackage BrovaPackage::operator/=(int d)
{
    for (int32_t* f : fields(*this))
        *f = brova::arith::divSingle(*f, d);
    setInvariant();
    return *this;
}

BrovaPackage BrovaPackage::operator/=(const BrovaPackage& b)
{
    auto fa = fields(*this);
    auto fb = fields(b);
    for (int i = 0; i < kFields; ++i)
        *fa[i] = brova::arith::divSingle(*fa[i], *fb[i]);
    setInvariant();
    return *this;
}
