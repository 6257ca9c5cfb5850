"""The bits of a sample's status flags (brovaflags.h), one unsigned 32-bit
word per sample instant, 0 when there is nothing to tell.

A read sets the rail bits from the fields as the device sent them; a
Calibration adds the over-range bits when it converts the samples
(read_all_forces, read_all_wrenches with with_flags=True).

- RAIL: some field the device sent is at its converter's rail (the value is
  clipped, whatever it reads); ELEMENT_RAIL or VECTOR_RAIL says which kind.
- ELEMENT_RAIL: an element reading s1 ... s8 at 0 or 65535.
- VECTOR_RAIL: x, y, z of a channel, or Fx ... Tz, at its rail (-32768 or
  32767; an unsigned z at 0 or 65535).
- CHANNEL_RAIL << c: channel c (of a six-axis sensor, unit c) had a field at
  its rail; CHANNEL_RAIL_MASK holds all of them.
- OVER_RANGE: a calibrated value exceeds its axis's rated range by more than
  RANGE_MARGIN (2 %); AXIS_OVER_RANGE << r says which output (0 ... 5: x, y,
  z, or Fx ... Tz); AXIS_OVER_RANGE_MASK holds all of them.
"""

RAIL = 0x00000001               # some field the device sent is at its rail
OVER_RANGE = 0x00000002         # a calibrated value over its rated range (+ margin)
ELEMENT_RAIL = 0x00000004       # an element reading s1 ... s8 at 0 or 65535
VECTOR_RAIL = 0x00000008        # x, y, z of a channel or Fx ... Tz at its rail
CHANNEL_RAIL = 0x00000100       # << c: channel (six-axis: unit) c had a field at its rail
CHANNEL_RAIL_MASK = 0x00FFFF00
AXIS_OVER_RANGE = 0x01000000    # << r: output r (x, y, z or Fx ... Tz) over its range
AXIS_OVER_RANGE_MASK = 0x3F000000
# How far past its rated range a value may go before OVER_RANGE: 2 %.
RANGE_MARGIN = 0.02


def railed_channels(word):
    """The channels (units) whose fields were at a rail, from one word."""
    return [c for c in range(16) if word & (CHANNEL_RAIL << c)]


def axes_over_range(word):
    """The outputs (0 ... 5) over their rated range, from one word."""
    return [r for r in range(6) if word & (AXIS_OVER_RANGE << r)]
