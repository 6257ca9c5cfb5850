"""brv.Device: one open sensor over the flat acquisition functions."""

import os
import time
from ctypes import byref, c_int, c_int64, c_uint32

from ._owned import Owned
from . import _lib
from .errors import (BRVError, DeviceClosed, NotServed, OpenError,
                     ReaderStopped)
from .samples import (FILTERS, RATES, SIX_AXIS_VERSIONS, Config, Sample,
                      Sample6D, Wrench)

_MODES = {0: 0, 1: 1, "raw": 0, "vector": 1}
_NO_SAMPLE = -1  # version sentinel: a record the library left untouched
_POLL = 0.002    # seconds between attempts of a read with a timeout


def realtime_offset():
    """Seconds to add to a sample's time (time.monotonic()'s clock) to get
    the same instant on time.time()'s clock, as the two clocks stand now;
    ask again rather than keep it, as the system may step or slew its clock.
    A float: good to about a quarter of a microsecond; the integral
    nanoseconds are brv.lib().callGetRealtimeOffset()."""
    return _lib.lib().callGetRealtimeOffset() / 1e9


def _text(value):
    if isinstance(value, bytes):
        return value
    if isinstance(value, int):
        value = str(value)
    return os.fsencode(value)


class Device(Owned):
    """A sensor opened on a serial port, closed and released by close() or
    at the end of a with block.

    Device(port, kind): port is the serial device path, kind the device name
    whose first two characters give the kind ("34", "34 v0.9" or 34). A
    PortInfo from Ports.list() may be passed alone. Raises OpenError when the
    device cannot be opened.

    Reads return None when no new sample came since the last read, and raise
    DeviceClosed when the device is not open (any more), ReaderStopped when
    it fell silent and its reader stopped, NotServed when the read does not
    fit the device (a channel it lacks; three-axis reads of a six-axis device
    and the reverse). A read whose parse could not run because the reader's
    buffer overflowed gives None as well; last_status keeps the library's
    status code of the latest read (-1 in that case).

    With timeout (seconds), read(), read_6d() and read_6axis() try again until
    a sample comes or the time is up. peek=True parses a copy of the bytes
    that came and leaves them for the next read. One Device serves one
    thread at a time.

    What it offers, by task:
      - state: is_open, port_name, version, sensor_count, six_axis, config,
        statistics(), estimated_rate;
      - settings: configure(rate, filter_hz, mode), tare(), untare();
      - three-axis and four-channel devices: read(), read_channels(),
        read_all(), read_all_array() (NumPy), read_all_forces() (newtons);
      - a four-channel device as one six-axis sensor: read_6axis(),
        read_all_6axis(), read_all_6axis_array(), read_all_wrenches();
      - six-axis devices: read_6d();
      - the instant of every sample the last read handed out: stamps(), or
        with_time=True on the array reads; realtime_offset() turns it into
        wall-clock time.
    """

    def __init__(self, port, kind=None):
        if kind is None and isinstance(port, tuple):
            port, kind = port[0], port[1]
        if kind is None:
            raise TypeError("Device needs the kind, e.g. Device(port, '34')")
        self._lib = _lib.lib()
        self._all = _lib.PackagePtr()  # callReadAll's array, kept between calls
        self.last_status = 0
        self._h = self._lib.callBrovaDAQ_Create()
        if not self._h:
            raise BRVError("cannot create an acquisition object")
        if not self._lib.callOpen(self._h, _text(port), _text(kind)):
            self.close()
            raise OpenError("cannot open %r as kind %r" % (port, kind))
        self._version = self._lib.callGetActualVersion(self._h)

    # ------------------------------------------------------------ lifecycle
    def close(self):
        """Closes the device and releases everything; safe to call twice."""
        h, self._h = getattr(self, "_h", None), None
        if not h:
            return
        self._lib.callClose(h)
        if self._all:
            self._lib.callDeletePackageArray(byref(self._all))
            self._all = _lib.PackagePtr()  # the release leaves it dangling
        self._lib.callBrovaDAQ_Dispose(h)

    def _handle(self):
        if not self._h:
            raise DeviceClosed("the device was closed")
        return self._h

    def __repr__(self):
        if not self._h:
            return "<brv.Device closed>"
        return "<brv.Device %s version %d, %d channel(s)>" % (
            self.port_name, self.version, self.sensor_count)

    # -------------------------------------------------------------- queries
    @property
    def handle(self):
        """The library's acquisition handle, for calling brv.lib() directly."""
        return self._handle()

    @property
    def is_open(self):
        """True while the device is open (its reader runs); False after
        close() and after the reader stopped on a silent device."""
        return bool(self._h) and self._lib.callIsOpen(self._h)

    @property
    def port_name(self):
        """The serial port's path, as opened (cut to 24 bytes)."""
        name = self._lib.callGetPortName(self._handle())
        return os.fsdecode(name) if name else ""

    @property
    def version(self):
        """Protocol version in force: 3, 4, 5 stream kinds 68, 94, 95;
        6, 7, 8 framed kinds 31, 34, 64."""
        return self._lib.callGetActualVersion(self._handle())

    @property
    def sensor_count(self):
        """Number of channels: 1 or 4 (0 before the first frame)."""
        return self._lib.callGetSensorSize(self._handle())

    @property
    def six_axis(self):
        """True for a six-axis device (version 5 or 8): read it with
        read_6d()."""
        return self._version in SIX_AXIS_VERSIONS

    @property
    def checksum_ok(self):
        """False after a frame whose checksum failed, until a good one."""
        return self._lib.callIsChksumOK(self._handle())

    @property
    def bytes_per_read(self):
        """The length of the device's data frame: 29, 45 or 57 bytes for
        versions 3, 4 and 5; 1 for the framed kinds."""
        return self._lib.callGetBytesPerRead(self._handle())

    @property
    def last_parse_size(self):
        """Bytes taken by the last parse."""
        return self._lib.callGetSize(self._handle())

    def is_virtual(self):
        """True for a four-channel device; may wait ~0.6 s for a frame."""
        return self._lib.callIsVirtual(self._handle())

    @property
    def estimated_rate(self):
        """The device's sample rate in samples per second as the library's
        clock model estimates it from the arrivals, whatever rate it was
        configured for (e.g. 1000.13, or 970.02 for a device 3 % slow); 0.0
        while it cannot tell: about a second after an open or a rate change,
        2 to 3 s for a device off its configured rate."""
        return self._lib.callGetEstimatedRate(self._handle())

    realtime_offset = staticmethod(realtime_offset)

    def stamps(self):
        """The instants of the samples the last read handed out, oldest
        first, as integral nanoseconds of CLOCK_MONOTONIC (the clock of
        time.monotonic_ns()): one per sample instant after read_all,
        read_all_6axis and their array forms (the k-th belongs to the k-th
        sample of every channel), one after the newest-sample reads, none
        after a read that gave nothing. Strictly increasing from read to
        read; never later than the arrival of the sample's bytes."""
        h = self._handle()
        n = self._lib.callGetStamps(h, None, 0)
        buf = (c_int64 * max(n, 0))()
        n = self._lib.callGetStamps(h, buf, len(buf))
        return list(buf[:n])

    def flags(self):
        """The status flags of the samples the last read handed out, one
        unsigned 32-bit word per sample instant exactly as stamps() (bits in
        brv.flags: RAIL and which kind of field and channel was at its rail;
        the over-range bits only come from a Calibration)."""
        h = self._handle()
        n = self._lib.callGetFlags(h, None, 0)
        buf = (c_uint32 * max(n, 0))()
        n = self._lib.callGetFlags(h, buf, len(buf))
        return list(buf[:n])

    def _result(self, arrays, n, values, with_time, flags):
        # (t, values, flags), the parts asked for, in that order.
        out = []
        if with_time:
            out.append(arrays.stamps_to_seconds(self._lib, self._h, n))
        out.append(values)
        if flags is not None:
            out.append(flags)
        return tuple(out) if len(out) > 1 else values

    def statistics(self):
        """The device's counts since it was opened, as a dict: bytesReceived,
        framesAccepted, checksumFailures, framesMalformed, bytesDiscarded."""
        s = _lib.Statistics()
        self._lib.callGetStatistics(self._handle(), byref(s))
        return {name: getattr(s, name) for name, _ in _lib.Statistics._fields_}

    # -------------------------------------------------------- configuration
    @property
    def config(self):
        """The device's configuration, asked of it now, as a Config (rate,
        filter_hz, mode, state); change it with configure()."""
        c = _lib.Config()
        self._lib.callGetConfig(self._handle(), byref(c))
        return Config.from_byte(c.value)

    def configure(self, rate=None, filter_hz=None, mode=None):
        """Sets the rate (1000, 333, 100, 30 per second), the filter (0, 150,
        50, 15 Hz) and the mode (0/'raw', 1/'vector'); what is not given keeps
        its present value. True when the device reports the requested rate
        and filter."""
        now = self.config
        rate = now.rate if rate is None else rate
        filter_hz = now.filter_hz if filter_hz is None else filter_hz
        mode = now.mode if mode is None else mode
        if rate not in RATES:
            raise ValueError("rate must be one of %s" % (RATES,))
        if filter_hz not in FILTERS:
            raise ValueError("filter_hz must be one of %s" % (FILTERS,))
        if mode not in _MODES:
            raise ValueError("mode must be 0, 1, 'raw' or 'vector'")
        return self._lib.callSendConfig(self._handle(), _MODES[mode], rate, filter_hz)

    # --------------------------------------------------------- zero offsets
    def _need_open(self):
        h = self._handle()
        if not self._lib.callIsOpen(h):
            raise DeviceClosed("the device is not open")
        return h

    def tare(self, channel=None):
        """Takes the present load as zero: of one channel, or of every
        channel (the six-axis offset on a six-axis device) when None."""
        h = self._need_open()
        if channel is None:
            self._lib.callZeroAll(h)
            return True
        return self._lib.callZero(h, channel)

    def untare(self, channel=None):
        """Removes the zero offset of one channel, or every offset."""
        h = self._need_open()
        if channel is None:
            self._lib.callUnzeroAll(h)
            return True
        return self._lib.callUnzero(h, channel)

    # ---------------------------------------------------------------- reads
    def _status(self, code):
        self.last_status = code
        if code >= 0 or code == -1:
            return code
        if code == -2:
            raise DeviceClosed("the device is not open")
        if code == -3:
            raise NotServed("not served by this device")
        if code == -4:
            raise ReaderStopped("the device went silent; its reader stopped")
        raise BRVError("unknown read status %d" % code)

    def _kind(self, six_axis):
        h = self._handle()
        if self.six_axis != six_axis:
            raise NotServed("a %s read of a %s device" % (
                "six-axis" if six_axis else "three-axis",
                "three-axis" if six_axis else "six-axis"))
        return h

    @staticmethod
    def _poll(once, timeout):
        result = once()
        if result is not None or not timeout:
            return result
        deadline = time.monotonic() + timeout
        while result is None and time.monotonic() < deadline:
            time.sleep(_POLL)
            result = once()
        return result

    def read(self, channel=0, peek=False, timeout=None):
        """The newest Sample of channel (0 .. sensor_count-1), or None
        when none came since the last read (within timeout seconds, when
        given)."""
        h = self._kind(False)
        pkg = _lib.Package()

        def once():
            pkg.version = _NO_SAMPLE
            self._status(self._lib.callRead(h, byref(pkg), channel, peek))
            return None if pkg.version == _NO_SAMPLE else Sample.from_struct(pkg)
        return self._poll(once, timeout)

    def read_channels(self, peek=False):
        """The newest Sample of every channel (None for a channel without
        one), as a list of sensor_count entries."""
        h = self._kind(False)
        pkgs = (_lib.Package * 16)()
        for p in pkgs:
            p.version = _NO_SAMPLE
        self._status(self._lib.callReadVirtual(h, pkgs, peek))
        return [None if p.version == _NO_SAMPLE else Sample.from_struct(p)
                for p in pkgs[:self.sensor_count]]

    def _take_all(self, peek):
        """callReadAll into the device's kept array: (samples, channels)."""
        h = self._kind(False)
        return self._status(self._lib.callReadAll(h, byref(self._all), peek)), self.sensor_count

    def _take_all_6axis(self, peek, convert):
        """callReadAll6Axis: convert(array, samples), the array released
        afterwards."""
        h = self._kind(False)
        arr = _lib.IntPtr()
        try:
            n = self._status(self._lib.callReadAll6Axis(h, byref(arr), peek))
            return convert(arr, max(n, 0))
        finally:
            if arr:
                self._lib.callDeleteIntArray(byref(arr))

    def read_all(self, peek=False):
        """Every sample since the last read: one list per channel, oldest
        first, all of the same length (empty lists when none came)."""
        n, channels = self._take_all(peek)
        if n <= 0:
            return [[] for _ in range(channels)]
        arr = self._all
        return [[Sample.from_struct(arr[c * n + k]) for k in range(n)]
                for c in range(channels)]

    def read_all_array(self, peek=False, with_time=False, with_flags=False):
        """read_all as one NumPy array: a row per sample (frame), the columns
        of brv.arrays.array_fields(sensor_count): each channel's x, y, z,
        s1..s8, aux and state. Needs NumPy.

        with_time=True returns (t, rows) instead: t is the time column, a
        float64 array of one instant per row, in seconds of the clock of
        time.monotonic() (see stamps()).

        with_flags=True appends flags to the result ((rows, flags), or
        (t, rows, flags)): a uint32 array of one status word per row, the
        bits of brv.flags (an element or vector field at its rail)."""
        from . import arrays  # ImportError without NumPy
        n, channels = self._take_all(peek)
        if n <= 0:
            rows = arrays.np.zeros((0, channels * len(arrays.CHANNEL_FIELDS)), dtype=arrays.np.int32)
        else:
            rows = arrays.packages_to_rows(self._all, n, channels)
        flags = arrays.flags_of_read(self._lib, self._h, len(rows)) if with_flags else None
        return self._result(arrays, len(rows), rows, with_time, flags)

    def read_all_6axis_array(self, peek=False, with_time=False, with_flags=False):
        """read_all_6axis as one NumPy array of shape (samples, 6): fx, fy,
        fz, tx, ty, tz. Needs NumPy. with_time=True returns (t, wrenches),
        t as for read_all_array; with_flags as for read_all_array."""
        from . import arrays
        rows = self._take_all_6axis(peek, arrays.ints_to_wrenches)
        flags = arrays.flags_of_read(self._lib, self._h, len(rows)) if with_flags else None
        return self._result(arrays, len(rows), rows, with_time, flags)

    def read_all_forces(self, calibration, *, tared, peek=False, with_time=False, with_flags=False):
        """read_all_array in newtons: the samples since the last read through
        a Calibration, as an (n, sensor_count * 3) float64 array, columns
        brv.force_fields(sensor_count) (fx, fy, fz of each channel in N; NaN
        for a channel the file does not calibrate). tared: whether the
        channels are tared (tare()): the file's bias is left out then.
        with_time=True returns (t, forces) as read_all_array does;
        with_flags=True appends the samples' flags as read_all_array does,
        with the over-range bits of the calibration's rated ranges added."""
        from . import arrays
        calibration._forces_at(None, 0, max(self.sensor_count, 1), tared)  # covered? before taking samples
        n, channels = self._take_all(peek)
        n = max(n, 0)
        flags = arrays.flags_of_read(self._lib, self._h, n) if with_flags else None
        if n == 0:
            forces = arrays.np.zeros((0, max(channels, 1) * 3), dtype=arrays.np.float64)
        else:
            forces = calibration._forces_at(self._all, n, channels, tared, flags)
        return self._result(arrays, n, forces, with_time, flags)

    def read_all_wrenches(self, calibration, *, tared, peek=False, with_time=False, with_flags=False):
        """The samples since the last read of a four-channel device as
        wrenches through a Calibration with a six-axis part: an (n, 6)
        float64 array, Fx, Fy, Fz in N and Tx, Ty, Tz in N*m. tared and
        with_time and with_flags as for read_all_forces."""
        from . import arrays
        if self.sensor_count != 4:
            raise NotServed("wrenches from channels need a four-channel device")
        calibration._wrenches_from_channels_at(None, 0, tared)  # a six-axis part? before taking samples
        n, channels = self._take_all(peek)
        n = max(n, 0)
        flags = arrays.flags_of_read(self._lib, self._h, n) if with_flags else None
        if n == 0:
            wrenches = arrays.np.zeros((0, 6), dtype=arrays.np.float64)
        else:
            wrenches = calibration._wrenches_from_channels_at(self._all, n, tared, flags)
        return self._result(arrays, n, wrenches, with_time, flags)

    def read_6d(self, peek=False, timeout=None):
        """The newest Sample6D of a six-axis device, or None."""
        h = self._kind(True)
        pkg = _lib.Package6D()

        def once():
            n = self._status(self._lib.callRead6D(h, byref(pkg), peek))
            return Sample6D.from_struct(pkg) if n > 0 else None
        return self._poll(once, timeout)

    def read_6axis(self, peek=False, timeout=None):
        """Force and torque (Wrench) computed from the newest samples of a
        four-channel device, or None."""
        h = self._kind(False)
        values = (c_int * 6)()

        def once():
            n = self._status(self._lib.callRead6Axis(h, values, peek))
            return Wrench(*values) if n > 0 else None
        return self._poll(once, timeout)

    def read_all_6axis(self, peek=False):
        """A Wrench per sample instant since the last read, oldest first, of
        a four-channel device."""
        return self._take_all_6axis(peek, lambda arr, n: [Wrench(*arr[6 * k:6 * k + 6]) for k in range(n)])
