"""Plain, immutable Python records copied out of the library's C records.

Constants:
    RATES: the sample rates a device offers, samples per second, by speed
        code 0..3: (1000, 333, 100, 30).
    FILTERS: the corner frequencies of its output filter in Hz, by filter
        code 0..3: (0, 150, 50, 15); 0 is no filter.
    RAW, VECTOR: the output modes (0: raw readings, 1: the device sends the
        force vector).
    THREE_AXIS_VERSIONS, SIX_AXIS_VERSIONS: the protocol versions (Sample.version,
        Device.version) of three-axis and four-channel devices (3, 4, 6, 7), and
        of six-axis devices (5, 8).
"""

from dataclasses import dataclass
from typing import Tuple

RATES = (1000, 333, 100, 30)   # speed codes 0..3, samples per second
FILTERS = (0, 150, 50, 15)     # filter codes 0..3, corner frequency in Hz (0: none)
RAW, VECTOR = 0, 1             # output modes

# Device protocol versions (Sample.version, Device.version).
THREE_AXIS_VERSIONS = (3, 4, 6, 7)
SIX_AXIS_VERSIONS = (5, 8)


@dataclass(frozen=True)
class Config:
    """The device configuration byte, decoded.

    value: the byte itself; state: 0..7, 5 is the normal state; rate:
    samples per second, 1000, 333, 100 or 30; filter_hz: 0 (no filter),
    150, 50 or 15; mode: RAW (0) or VECTOR (1).
    """
    value: int       # the byte itself
    state: int       # 0..7; 5 is the normal state
    rate: int        # samples per second: 1000, 333, 100 or 30
    filter_hz: int   # 0 (no filter), 150, 50 or 15
    mode: int        # RAW (0) or VECTOR (1)

    @classmethod
    def from_byte(cls, value):
        """The Config of a configuration byte (its low 8 bits are taken)."""
        value &= 0xFF
        return cls(value=value,
                   state=value >> 5,
                   rate=RATES[(value >> 3) & 3],
                   filter_hz=FILTERS[(value >> 1) & 3],
                   mode=value & 1)


@dataclass(frozen=True)
class Sample:
    """One sample of one three-axis channel, zero offset subtracted.

    x, y, z: the force vector in counts (sent by the device, or computed from
    s1..s4 in raw mode); s: the element readings s1..s8; x2, y2, z2: the
    second vector; raw: s1..s8 as received, before the zero offset; aux: a
    further reading every data frame carries; config: the Config sent with
    the sample; version: the protocol version it came under, 3..8.
    """
    x: int
    y: int
    z: int
    s: Tuple[int, ...]    # element readings s1..s8
    x2: int
    y2: int
    z2: int
    raw: Tuple[int, ...]  # s1..s8 as received, before the zero offset
    aux: int
    config: Config        # configuration sent with the sample
    version: int          # protocol version it came under, 3..8

    @classmethod
    def from_struct(cls, p):
        """A copy of a brv.CPackage record (the library's brv_package)."""
        return cls(x=p.x, y=p.y, z=p.z,
                   s=(p.s1, p.s2, p.s3, p.s4, p.s5, p.s6, p.s7, p.s8),
                   x2=p.x2, y2=p.y2, z2=p.z2,
                   raw=tuple(p.inconsistent),
                   aux=p.aux,
                   config=Config.from_byte(p.config.value),
                   version=p.version)

    @property
    def force(self):
        """(x, y, z)."""
        return (self.x, self.y, self.z)


@dataclass(frozen=True)
class Wrench:
    """Force and torque on three axes: fx, fy, fz, tx, ty, tz (in counts)."""
    fx: int
    fy: int
    fz: int
    tx: int
    ty: int
    tz: int

    @property
    def force(self):
        """(fx, fy, fz)."""
        return (self.fx, self.fy, self.fz)

    @property
    def torque(self):
        """(tx, ty, tz)."""
        return (self.tx, self.ty, self.tz)


@dataclass(frozen=True)
class Sample6D(Wrench):
    """One sample of a six-axis device: force fx, fy, fz and torque tx, ty,
    tz in counts (as a Wrench), and units, the Samples of its four
    three-axis sensing units."""
    units: Tuple[Sample, ...] = ()

    @classmethod
    def from_struct(cls, p):
        """A copy of a brv.CPackage6D record (the library's brv_package6d)."""
        return cls(fx=p.Fx, fy=p.Fy, fz=p.Fz, tx=p.Tx, ty=p.Ty, tz=p.Tz,
                   units=tuple(Sample.from_struct(u) for u in
                               (p.sensor1, p.sensor2, p.sensor3, p.sensor4)))
