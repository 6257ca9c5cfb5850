/** @file brovaflags.h
 * Status flags of a sample: whether a number handed out can be trusted.
 *
 * A force sensor pushed past its range does not fail loudly: its sensing
 * elements sit at their converter's rail and the force computed from them is
 * wrong. Every sample instant a read hands out therefore carries a 32-bit
 * word of flags, kept beside the records the way the stamps are (the records
 * keep their layout): BrovaDAQ::getFlags and callGetFlags hand out the words
 * of the last read call, one per sample instant. A calibration adds the
 * over-range bits when it converts a sample (BrovaCalibration::applyForce and
 * applyWrench with a flags argument, and the callCalibration_...Flagged
 * functions).
 *
 * A C compiler accepts this header. Bits not listed here are 0; a later
 * version may define them.
 */
#ifndef BRV_BROVAFLAGS_H
#define BRV_BROVAFLAGS_H

/// The bits of a sample's status flags, a 32-bit unsigned word per sample
/// instant; 0 is a sample with nothing to tell.
///
/// The rail bits are judged on the fields as the device sent them (before
/// the zero offset is subtracted), and only on fields that the frame carried:
/// - an element reading s1 ... s8 (unsigned) at 0 or 65535;
/// - a vector field the device sent: x, y (signed) at -32768 or 32767; z at
///   0 or 65535 where it is unsigned (the three-axis and four-channel stream
///   frames, and the framed kinds in raw mode), at -32768 or 32767 where it
///   is signed (the framed kinds in vector mode); Fx ... Tz of a six-axis
///   sensor likewise (Fz of a framed six-axis sensor in raw mode unsigned).
/// Fields a frame does not carry (the readings of a four-channel frame in
/// vector mode and their copies, the vector of one in raw mode, the readings
/// beyond a short data frame's length) and the auxiliary reading are never
/// flagged. One below a rail (1, 65534, -32767, 32766) is not a rail.
enum brova_sample_flag {
    /// Bit 0: some field the device sent for this instant is at its rail
    /// (BROVA_FLAG_ELEMENT_RAIL or BROVA_FLAG_VECTOR_RAIL is set with it).
    BROVA_FLAG_RAIL = 0x00000001,
    /// Bit 1: a calibrated value exceeds its axis's rated range by more than
    /// the margin (BrovaCalibration::rangeMargin); set only by a calibration's
    /// apply, never by a read. The axis is told by BROVA_FLAG_AXIS_OVER_RANGE.
    BROVA_FLAG_OVER_RANGE = 0x00000002,
    /// Bit 2: an element reading s1 ... s8 at 0 or 65535.
    BROVA_FLAG_ELEMENT_RAIL = 0x00000004,
    /// Bit 3: a vector field the device sent (x, y, z of a channel, or Fx ...
    /// Tz of a six-axis sensor) at its rail.
    BROVA_FLAG_VECTOR_RAIL = 0x00000008,
    /// Bits 8 ... 23: which channel has a field at its rail, channel c's bit
    /// being BROVA_FLAG_CHANNEL_RAIL << c (channel 0 of a three-axis sensor,
    /// channels 0 ... 3 of a four-channel box; of a six-axis sensor, unit c,
    /// sub-sample sensor(c+1), for its element readings; Fx ... Tz belong to
    /// no unit and set BROVA_FLAG_VECTOR_RAIL alone).
    BROVA_FLAG_CHANNEL_RAIL = 0x00000100,
    /// All the channel bits.
    BROVA_FLAG_CHANNEL_RAIL_MASK = 0x00FFFF00,
    /// Bits 24 ... 29: which output is over its range, output r's bit being
    /// BROVA_FLAG_AXIS_OVER_RANGE << r (r = 0, 1, 2 for x, y, z of a channel,
    /// or Fx, Fy, Fz; 3, 4, 5 for Tx, Ty, Tz).
    BROVA_FLAG_AXIS_OVER_RANGE = 0x01000000,
    /// All the axis bits.
    BROVA_FLAG_AXIS_OVER_RANGE_MASK = 0x3F000000
};

#endif /* BRV_BROVAFLAGS_H */
