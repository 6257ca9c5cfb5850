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
]
