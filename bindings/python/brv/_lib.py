"""Loading libBRV.so.1 and declaring its flat C interface for ctypes.

Every function of cs_export.h is declared here with its argument and result
types. Texts and arrays that the library allocates are declared as raw
pointers (POINTER(c_void_p), POINTER(POINTER(...))) so that the very pointers
the library handed out can be given back to its release functions; ctypes
never converts them into Python objects behind our back.
"""

import ctypes
import ctypes.util
import os
import threading
from ctypes import (POINTER, Structure, c_bool, c_ubyte, c_char_p, c_double, c_int, c_int32,
                    c_int64, c_uint8, c_uint32, c_uint64, c_void_p)

from .errors import LibraryNotFound

SONAME = "libBRV.so.1"
ENV_VAR = "BRV_LIBRARY"


# ------------------------------------------------------------------ records

class Config(Structure):
    """One configuration byte (brv_config)."""
    _fields_ = [("value", c_uint8)]


class Package(Structure):
    """One sample of one channel (brv_package), 100 bytes."""
    _fields_ = (
        [("s%d" % i, c_int32) for i in range(1, 9)]
        + [(n, c_int32) for n in ("x", "y", "z", "x2", "y2", "z2")]
        + [("inconsistent", c_int32 * 8),
           ("aux", c_int32),
           ("config", Config),
           ("version", c_int32)]
    )


class Package6D(Structure):
    """One six-axis sample (brv_package6d), 424 bytes."""
    _fields_ = (
        [(n, c_int32) for n in ("Fx", "Fy", "Fz", "Tx", "Ty", "Tz")]
        + [("sensor%d" % i, Package) for i in range(1, 5)]
    )


class Statistics(Structure):
    """A device's counts since its last open (brv_statistics), 40 bytes."""
    _fields_ = [(n, c_uint64) for n in ("bytesReceived", "framesAccepted", "checksumFailures",
                                        "framesMalformed", "bytesDiscarded")]


# Sizes fixed by the C header; a mismatch means this module is out of step.
assert ctypes.sizeof(Statistics) == 40
assert ctypes.sizeof(Config) == 1
assert ctypes.sizeof(Package) == 100
assert ctypes.sizeof(Package6D) == 424

PackagePtr = POINTER(Package)
IntPtr = POINTER(c_int)
DoublePtr = POINTER(c_double)
TextArray = POINTER(c_void_p)  # char** kept as raw addresses

_HANDLE = c_void_p
# Flag parameters (brv_bool): one byte, 0 false, anything else true.
_FLAG = c_ubyte
# Truth-valued results (brv_truth): 0 or 1 in a whole 32-bit int, so that
# reading its low byte as a bool gives the same value.
_TRUTH = c_bool

# name: (restype, [argtypes])
PROTOTYPES = {
    # port discovery
    "callBrovaPorts_Create": (_HANDLE, []),
    "callBrovaPorts_Dispose": (None, [_HANDLE]),
    "callListPorts": (TextArray, [_HANDLE]),
    "callGetLastSize": (c_int, [_HANDLE]),
    "callGetSizePorts": (c_int, [_HANDLE]),
    "callIsNewPort": (_TRUTH, [_HANDLE]),
    "callIsLostPort": (_TRUTH, [_HANDLE]),
    "callGetNewPort": (None, [_HANDLE, TextArray]),
    "callGetLostPort": (None, [_HANDLE, TextArray]),
    "callWatchPort": (_TRUTH, [_HANDLE, c_char_p]),
    # releasing
    "callDeleteBPORT": (None, [TextArray]),
    "callDeletePORTLIST": (None, [POINTER(TextArray), c_int]),
    "callDeletePackageArray": (None, [POINTER(PackagePtr)]),
    "callDeleteIntArray": (None, [POINTER(IntPtr)]),
    # acquisition
    "callBrovaDAQ_Create": (_HANDLE, []),
    "callBrovaDAQ_Dispose": (None, [_HANDLE]),
    "callOpen": (_TRUTH, [_HANDLE, c_char_p, c_char_p]),
    "callClose": (None, [_HANDLE]),
    "callIsOpen": (_TRUTH, [_HANDLE]),
    # The port name text stays owned by the acquisition object: converting
    # it to bytes is safe, nothing is to be released.
    "callGetPortName": (c_char_p, [_HANDLE]),
    "callGetSize": (c_int, [_HANDLE]),
    "callGetSensorSize": (c_int, [_HANDLE]),
    "callIsChksumOK": (_TRUTH, [_HANDLE]),
    "callGetActualVersion": (c_int, [_HANDLE]),
    "callGetBytesPerRead": (c_int, [_HANDLE]),
    "callIsVirtual": (_TRUTH, [_HANDLE]),
    "callGetStatistics": (None, [_HANDLE, POINTER(Statistics)]),
    "callGetConfig": (None, [_HANDLE, POINTER(Config)]),
    "callSendConfig": (_TRUTH, [_HANDLE, c_int, c_int, c_int]),
    "callZero": (_TRUTH, [_HANDLE, c_int]),
    "callZeroAll": (None, [_HANDLE]),
    "callUnzero": (_TRUTH, [_HANDLE, c_int]),
    "callUnzeroAll": (None, [_HANDLE]),
    "callRead": (c_int, [_HANDLE, PackagePtr, c_int, _FLAG]),
    "callReadArray": (c_int, [_HANDLE, IntPtr, _FLAG]),
    "callReadVirtual": (c_int, [_HANDLE, PackagePtr, _FLAG]),
    "callReadVirtualArray": (c_int, [_HANDLE, IntPtr, _FLAG]),
    "callReadAll": (c_int, [_HANDLE, POINTER(PackagePtr), _FLAG]),
    "callRead6D": (c_int, [_HANDLE, POINTER(Package6D), _FLAG]),
    "callRead6Axis": (c_int, [_HANDLE, IntPtr, _FLAG]),
    "callReadAll6Axis": (c_int, [_HANDLE, POINTER(IntPtr), _FLAG]),
    # sample instants: the stamps are copied into an array of the caller's
    "callGetStamps": (c_int32, [_HANDLE, POINTER(c_int64), c_int32]),
    # status flags (brovaflags.h): copied into an array of the caller's
    "callGetFlags": (c_int32, [_HANDLE, POINTER(c_uint32), c_int32]),
    "callGetEstimatedRate": (c_double, [_HANDLE]),
    "callGetRealtimeOffset": (c_int64, []),
    # calibration: texts come back as raw addresses, released with
    # callDeleteText; the apply functions write into the caller's doubles
    "callDeleteText": (None, [POINTER(c_void_p)]),
    "callCalibration_Load": (_HANDLE, [c_char_p, POINTER(c_void_p)]),
    "callCalibration_Dispose": (None, [_HANDLE]),
    "callCalibration_Kind": (c_int32, [_HANDLE]),
    "callCalibration_Identification": (c_void_p, [_HANDLE]),
    "callCalibration_Serial": (c_void_p, [_HANDLE]),
    "callCalibration_Inputs": (c_void_p, [_HANDLE, c_int32]),
    "callCalibration_Matches": (_TRUTH, [_HANDLE, c_int32, c_char_p]),
    "callCalibration_Error": (c_void_p, [_HANDLE]),
    "callCalibration_ApplyForces": (c_int32, [_HANDLE, PackagePtr, c_int32, c_int32, _FLAG, DoublePtr]),
    "callCalibration_ApplyWrenches": (c_int32, [_HANDLE, POINTER(Package6D), c_int32, _FLAG, DoublePtr]),
    "callCalibration_ApplyWrenchesFromChannels": (c_int32, [_HANDLE, PackagePtr, c_int32, _FLAG, DoublePtr]),
    "callCalibration_Range": (c_int32, [_HANDLE, c_int32, DoublePtr, c_int32]),
    "callCalibration_ApplyForcesFlagged": (c_int32, [_HANDLE, PackagePtr, c_int32, c_int32, _FLAG, DoublePtr,
                                                     POINTER(c_uint32)]),
    "callCalibration_ApplyWrenchesFlagged": (c_int32, [_HANDLE, POINTER(Package6D), c_int32, _FLAG, DoublePtr,
                                                       POINTER(c_uint32)]),
    "callCalibration_ApplyWrenchesFromChannelsFlagged": (c_int32, [_HANDLE, PackagePtr, c_int32, _FLAG, DoublePtr,
                                                                   POINTER(c_uint32)]),
}


def declare(cdll):
    """Sets restype and argtypes of every flat function on cdll."""
    for name, (restype, argtypes) in PROTOTYPES.items():
        try:
            fn = getattr(cdll, name)
        except AttributeError:
            raise LibraryNotFound(
                "%s has no function %s: not a libBRV.so.1 of this interface"
                % (cdll._name, name)) from None
        fn.restype = restype
        fn.argtypes = argtypes
    return cdll


def _candidates(environ):
    """Where to look, in order: $BRV_LIBRARY alone when set, else the
    system loader (ctypes.util.find_library, then the soname itself)."""
    path = environ.get(ENV_VAR)
    if path:
        return [path], True
    names = []
    found = ctypes.util.find_library("BRV")
    if found and os.path.basename(found).startswith(SONAME):
        names.append(found)
    if SONAME not in names:
        names.append(SONAME)
    return names, False


def load_library(environ=None):
    """Finds, loads and declares libBRV.so.1; raises LibraryNotFound.

    A set BRV_LIBRARY is used alone: a wrong path is an error rather than a
    silent fall back to another copy."""
    if environ is None:
        environ = os.environ
    names, from_env = _candidates(environ)
    errors = []
    for name in names:
        try:
            cdll = ctypes.CDLL(name)
        except OSError as e:
            errors.append("%s: %s" % (name, e))
            continue
        return declare(cdll)
    if from_env:
        raise LibraryNotFound(
            "cannot load the library named by %s=%s (%s)"
            % (ENV_VAR, names[0], "; ".join(errors)))
    raise LibraryNotFound(
        "%s not found by the system loader (%s); set %s to its full path, "
        "e.g. %s=/path/to/build/src/%s"
        % (SONAME, "; ".join(errors), ENV_VAR, ENV_VAR, SONAME))


_lock = threading.Lock()
_lib = None


def lib():
    """The loaded and declared library, loaded on first use."""
    global _lib
    if _lib is None:
        with _lock:
            if _lib is None:
                _lib = load_library()
    return _lib


def library_path():
    """The file the loaded library came from (from the loader's own map)."""
    cdll = lib()
    name = cdll._name
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                parts = line.split()
                if len(parts) >= 6 and os.path.basename(parts[5]).startswith("libBRV.so"):
                    return parts[5]
    except OSError:
        pass
    return name
