"""brv.Calibration: a sensor's calibration file, from counts to newtons.

The library applies the file's matrix and bias to the counts; this module
hands it the arrays the array reads return (NumPy) and returns float64
arrays of the same row layout with N and N*m in place of counts. Loading and
matching need no NumPy; applying does.

The tare comes first: the library subtracts a channel's zero offset as
samples are made. A tared sample's offset already stands for the zero load,
so the bias must be left out: pass tared=True for samples of tared channels
(after Device.tare()), tared=False otherwise.

FORCE_FIELDS: the columns of one channel in an apply_forces result, in order
("fx", "fy", "fz").
"""

import ctypes
import os
from ctypes import byref, c_void_p

from ._owned import Owned
from . import _lib
from .errors import BRVError, CalibrationError
from .samples import Sample6D

# Per channel, the columns of apply_forces' result, in this order.
FORCE_FIELDS = ("fx", "fy", "fz")
_SIX_AXIS = -1
_STATUS = {-1: "bad argument", -2: "the calibration was closed"}


def force_fields(channels):
    """The column names of an apply_forces / read_all_forces result for a
    device of that many channels: "c0.fx", "c0.fy", "c0.fz", "c1.fx", ..."""
    return ["c%d.%s" % (c, f) for c in range(channels) for f in FORCE_FIELDS]


def _take_text(cdll, address):
    """The library's text at address as a str, released through the
    library."""
    if not address:
        return None
    text = os.fsdecode(ctypes.string_at(address))
    cdll.callDeleteText(byref(c_void_p(address)))
    return text


def _kind_code(kind):
    if isinstance(kind, int):
        return kind
    text = os.fsdecode(kind) if isinstance(kind, bytes) else str(kind)
    try:
        return int(text.strip()[:2])
    except ValueError:
        raise ValueError("kind must be a kind code such as 34 or '34 v0.9', not %r" % (kind,)) from None


class Calibration(Owned):
    """A calibration file loaded by the library; released by close() or at
    the end of a with block.

    Calibration(path) (or Calibration.load(path)) raises CalibrationError
    with the library's message, which names the file and the field at fault.
    The apply methods may be called from several threads at once; matches()
    and error serve one thread at a time.
    """

    def __init__(self, path):
        self._lib = _lib.lib()
        self._h = None
        error = c_void_p()
        h = self._lib.callCalibration_Load(os.fsencode(path), byref(error))
        message = _take_text(self._lib, error.value)
        if not h:
            raise CalibrationError(message or "%s: cannot be loaded" % os.fsdecode(path))
        self._h = h

    @classmethod
    def load(cls, path):
        """The same as Calibration(path)."""
        return cls(path)

    def close(self):
        """Releases the calibration; safe to call twice."""
        h, self._h = getattr(self, "_h", None), None
        if h:
            self._lib.callCalibration_Dispose(h)

    def _handle(self):
        if not self._h:
            raise BRVError("the calibration was closed")
        return self._h

    def __repr__(self):
        if not self._h:
            return "<brv.Calibration closed>"
        return "<brv.Calibration kind %d %r>" % (self.kind, self.identification)

    # -------------------------------------------------------------- identity
    @property
    def kind(self):
        """The kind code the file is for (31, 34, 64, 68, 94, 95)."""
        return self._lib.callCalibration_Kind(self._handle())

    @property
    def identification(self):
        """The identification text the file is for ("" for any device of its
        kind)."""
        return _take_text(self._lib, self._lib.callCalibration_Identification(self._handle())) or ""

    @property
    def serial(self):
        """The free-text serial number written in the file ("" when none)."""
        return _take_text(self._lib, self._lib.callCalibration_Serial(self._handle())) or ""

    def inputs(self, channel=None):
        """The input names of a channel's matrix, or of the six-axis part
        when channel is None, in column order; [] when the file does not
        calibrate it."""
        text = _take_text(self._lib, self._lib.callCalibration_Inputs(
            self._handle(), _SIX_AXIS if channel is None else channel))
        return text.split(",") if text else []

    def matches(self, kind, identification=""):
        """Whether the file is for a device of this kind ("34", "34 v0.9" or
        34) and identification ("" matches any); a PortInfo may be passed
        alone. When not, error says why."""
        if identification == "" and isinstance(kind, tuple) and len(kind) == 3:
            kind, identification = kind[1], kind[2]
        return self._lib.callCalibration_Matches(self._handle(), _kind_code(kind),
                                                 os.fsencode(identification or ""))

    @property
    def error(self):
        """The library's message of the last failure on this calibration
        (e.g. why matches() was False); "" after a success."""
        return _take_text(self._lib, self._lib.callCalibration_Error(self._handle())) or ""

    # -------------------------------------------------------------- applying
    def _checked(self, status, what):
        if status == -3:
            raise CalibrationError("%s: %s" % (self.error or "the calibration", what))
        if status < 0:
            raise BRVError("calibration apply: %s (%d)" % (_STATUS.get(status, "failed"), status))
        return status

    def _forces_at(self, packages, n, channels, tared, flags=None):
        """ApplyForces over a channel-major package array (a PackagePtr, or
        None with n 0): an (n, channels * 3) float64 array. flags: None, or
        an (n,) uint32 array to which the over-range bits are added."""
        from .arrays import np
        out = np.empty((n, channels * len(FORCE_FIELDS)), dtype=np.float64)
        self._checked(self._lib.callCalibration_ApplyForcesFlagged(
            self._handle(), packages, n, channels, bool(tared), out.ctypes.data_as(_lib.DoublePtr),
            _flags_pointer(flags)),
            "calibrates none of channels 0..%d" % (channels - 1))
        return out

    def _wrenches_from_channels_at(self, packages, n, tared, flags=None):
        from .arrays import np
        out = np.empty((n, 6), dtype=np.float64)
        self._checked(self._lib.callCalibration_ApplyWrenchesFromChannelsFlagged(
            self._handle(), packages, n, bool(tared), out.ctypes.data_as(_lib.DoublePtr), _flags_pointer(flags)),
            "has no six-axis part")
        return out

    def range(self, channel=None):
        """The rated ranges of a channel's outputs (channel None: the
        six-axis part) as the file gives them, converted: [x, y, z] in N, or
        [Fx, Fy, Fz] in N and [Tx, Ty, Tz] in N*m on the sensor's own axes;
        None when the file gives no range for it. A calibrated value beyond
        range * (1 + brv.flags.RANGE_MARGIN) sets the OVER_RANGE flag."""
        h = self._handle()
        which = _SIX_AXIS if channel is None else int(channel)
        n = self._lib.callCalibration_Range(h, which, None, 0)
        if n <= 0:
            return None
        buf = (ctypes.c_double * n)()
        self._lib.callCalibration_Range(h, which, buf, n)
        return list(buf)

    def apply_forces(self, rows, *, tared):
        """Forces of the rows of Device.read_all_array(): an (n, channels * 13)
        int array in, an (n, channels * 3) float64 array out, columns
        force_fields(channels): fx, fy, fz of each channel in N; NaN for a
        channel the file does not calibrate."""
        from .arrays import packages_from_rows
        packages, n, channels = packages_from_rows(rows)
        return self._forces_at(packages.ctypes.data_as(_lib.PackagePtr), n, channels, tared)

    def apply_wrenches_from_channels(self, rows, *, tared):
        """Wrenches of a four-channel device read as one six-axis sensor, from
        the rows of its Device.read_all_array(): an (n, 6) float64 array,
        Fx, Fy, Fz in N and Tx, Ty, Tz in N*m."""
        from .arrays import packages_from_rows
        packages, n, channels = packages_from_rows(rows)
        if channels != 4:
            raise ValueError("rows of a four-channel device expected, not of %d channel(s)" % channels)
        return self._wrenches_from_channels_at(packages.ctypes.data_as(_lib.PackagePtr), n, tared)

    def apply_wrenches(self, samples, *, tared):
        """Wrenches of six-axis samples (kinds 95, 64): a sequence of the
        Sample6D that read_6d returns, or an (n, 6) array of Fx ... Tz counts;
        an (n, 6) float64 array out, Fx, Fy, Fz in N, Tx, Ty, Tz in N*m. The
        array form serves only a six-axis part over Fx ... Tz: one that
        reads the units' fields (sensor1.x ...) needs the Sample6D (raises
        CalibrationError otherwise). A four-channel device's wrenches come
        from apply_wrenches_from_channels on its read_all_array() rows (its
        read_all_6axis_array() holds only the library's own sums)."""
        from .arrays import np, packages6d_from_wrenches
        if len(samples) and isinstance(samples[0], Sample6D):
            records, n = packages6d_from_samples(samples), len(samples)
        else:
            own = [name for name in self.inputs() if name.startswith("sensor")]
            if own:
                raise CalibrationError(
                    "the six-axis part reads %s, which (n, 6) wrenches lack: pass the Sample6D records"
                    % ", ".join(own))
            records, n = packages6d_from_wrenches(samples)
        out = np.empty((n, 6), dtype=np.float64)
        self._checked(self._lib.callCalibration_ApplyWrenches(
            self._handle(), records if isinstance(records, ctypes.Array)
            else records.ctypes.data_as(ctypes.POINTER(_lib.Package6D)), n, bool(tared),
            out.ctypes.data_as(_lib.DoublePtr)), "has no six-axis part")
        return out


def _flags_pointer(flags):
    if flags is None:
        return None
    return flags.ctypes.data_as(ctypes.POINTER(ctypes.c_uint32))


def packages6d_from_samples(samples):
    """Sample6D records back into brv_package6d records (a ctypes array)."""
    records = (_lib.Package6D * len(samples))()
    for r, s in zip(records, samples):
        r.Fx, r.Fy, r.Fz, r.Tx, r.Ty, r.Tz = s.fx, s.fy, s.fz, s.tx, s.ty, s.tz
        for unit, u in zip((r.sensor1, r.sensor2, r.sensor3, r.sensor4), s.units):
            unit.x, unit.y, unit.z = u.x, u.y, u.z
            for i, v in enumerate(u.s, 1):
                setattr(unit, "s%d" % i, v)
    return records
