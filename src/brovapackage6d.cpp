#include "brovapackage6d.h"

#include "arith.h"

namespace {

template <class Op>
void eachComponent(BrovaPackage6D& r, const BrovaPackage6D& a, const BrovaPackage6D& b, Op op)
{
    r.Fx = op(a.Fx, b.Fx);
    r.Fy = op(a.Fy, b.Fy);
    r.Fz = op(a.Fz, b.Fz);
    r.Tx = op(a.Tx, b.Tx);
    r.Ty = op(a.Ty, b.Ty);
    r.Tz = op(a.Tz, b.Tz);
}

} // namespace

BrovaPackage6D::BrovaPackage6D() : Fx(0), Fy(0), Fz(0), Tx(0), Ty(0), Tz(0) {}

void BrovaPackage6D::setInvariant(const BrovaPackage6D& offset)
{
    eachComponent(*this, *this, offset, brova::arith::sub);
    sensor1.setInvariant(offset.sensor1);
    sensor2.setInvariant(offset.sensor2);
    sensor3.setInvariant(offset.sensor3);
    sensor4.setInvariant(offset.sensor4);
}

BrovaPackage6D& BrovaPackage6D::operator=(int v)
{
    Fx = Fy = Fz = Tx = Ty = Tz = v;
    sensor1 = v;
    sensor2 = v;
    sensor3 = v;
    sensor4 = v;
    return *this;
}

BrovaPackage6D BrovaPackage6D::operator+(const BrovaPackage6D& b) const
{
    BrovaPackage6D r;
    eachComponent(r, *this, b, brova::arith::add);
    r.sensor1 = sensor1 + b.sensor1;
    r.sensor2 = sensor2 + b.sensor2;
    r.sensor3 = sensor3 + b.sensor3;
    r.sensor4 = sensor4 + b.sensor4;
    return r;
}

BrovaPackage6D BrovaPackage6D::operator-(const BrovaPackage6D& b) const
{
    BrovaPackage6D r;
    eachComponent(r, *this, b, brova::arith::sub);
    r.sensor1 = sensor1 - b.sensor1;
    r.sensor2 = sensor2 - b.sensor2;
    r.sensor3 = sensor3 - b.sensor3;
    r.sensor4 = sensor4 - b.sensor4;
    return r;
}

BrovaPackage6D BrovaPackage6D::operator-(int v) const
{
    BrovaPackage6D r;
    eachComponent(r, *this, *this, [v](int32_t a, int32_t) { return brova::arith::sub(a, v); });
    r.sensor1 = sensor1 - v;
    r.sensor2 = sensor2 - v;
    r.sensor3 = sensor3 - v;
    r.sensor4 = sensor4 - v;
    return r;
}

BrovaPackage6D BrovaPackage6D::operator*=(const BrovaPackage6D& b)
{
    eachComponent(*this, *this, b, brova::arith::mul);
    sensor1 *= b.sensor1;
    sensor2 *= b.sensor2;
    sensor3 *= b.sensor3;
    sensor4 *= b.sensor4;
    return *this;
}

BrovaPackage6D BrovaPackage6D::operator/=(int d)
{
    eachComponent(*this, *this, *this, [d](int32_t a, int32_t) { return brova::arith::divInt(a, d); });
    sensor1 /= d;
    sensor2 /= d;
    sensor3 /= d;
    sensor4 /= d;
    return *this;
}

BrovaPackage6D BrovaPackage6D::operator/=(const BrovaPackage6D& b)
{
    eachComponent(*this, *this, b, brova::arith::divSingle);
    return *this;
}
