"""Python binding of libBRV, the driver library of the BRV force sensors.

    import brv
    with brv.Device("/dev/ttyUSB0", "34") as dev:
        dev.configure(rate=1000, filter_hz=50)
        dev.tare()
        print(dev.read(timeout=1.0))

The library libBRV.so.1 is loaded on first use: from the path in the
environment variable BRV_LIBRARY when it is set, otherwise through the system
loader (LD_LIBRARY_PATH, installed copies). brv.lib() gives the declared
ctypes library itself for the flat functions not wrapped here.

brv.read_recording(path) reads a recording (MCAP, from brova record) back
into NumPy arrays without the library (see brv.recording).

Contents:
    Ports, PortInfo: the sensors present, and those plugged in and out.
    Device: one sensor opened on a port; realtime_offset() for its stamps.
    Sample, Sample6D, Wrench, Config: the records reads return.
    Calibration, force_fields: counts to newtons through a calibration file.
    BRVError and its subclasses LibraryNotFound, OpenError, DeviceClosed,
        ReaderStopped, NotServed, CalibrationError.
    RATES (1000, 333, 100, 30 samples per second) and FILTERS (0, 150, 50,
        15 Hz): the values Device.configure() takes; RAW and VECTOR: its modes.
    lib(), library_path(): the ctypes library and the file it came from;
        CConfig, CPackage, CPackage6D: its records as ctypes structures.
    read_recording(): a recording read back (brv.recording).
"""

from ._lib import Config as CConfig, Package as CPackage, Package6D as CPackage6D
from ._lib import lib, library_path
from . import flags
from .calibration import Calibration, force_fields
from .device import Device, realtime_offset
from .errors import (BRVError, CalibrationError, DeviceClosed, LibraryNotFound,
                     NotServed, OpenError, ReaderStopped)
from .ports import PortInfo, Ports
from .samples import FILTERS, RATES, RAW, VECTOR, Config, Sample, Sample6D, Wrench

__all__ = [
    "Device", "Ports", "PortInfo", "Sample", "Sample6D", "Wrench", "Config",
    "BRVError", "LibraryNotFound", "OpenError", "DeviceClosed",
    "ReaderStopped", "NotServed", "RATES", "FILTERS", "RAW", "VECTOR",
    "lib", "library_path", "CConfig", "CPackage", "CPackage6D",
    "realtime_offset", "Calibration", "CalibrationError", "force_fields", "flags",
    "read_recording",
]


def read_recording(path):
    """Reads a recording (FILE.mcap, or the FILE.mcap.partial of one that was
    not finished) into a brv.recording.Recording of NumPy arrays: per sensor
    its samples' time, values and counts. Needs NumPy (and python3-zstandard
    or python3-lz4 for compressed chunks)."""
    from .recording import read_recording as read
    return read(path)
