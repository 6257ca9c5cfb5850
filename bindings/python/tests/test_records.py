"""The ctypes mirrors and declarations against the C header's layout and
prototypes, and the decoding of the configuration byte."""

import ctypes
import re
from ctypes import POINTER, c_bool, c_char_p, c_double, c_int, c_int32, c_int64, c_uint32, c_ubyte, c_void_p
from pathlib import Path

import pytest

import brv
from brv import _lib

HEADER = Path(__file__).resolve().parents[3] / "src" / "cs_export.h"


def test_records_have_the_c_layout():
    P, P6 = _lib.Package, _lib.Package6D
    assert [ctypes.sizeof(t) for t in (_lib.Config, P, P6)] == [1, 100, 424]
    names = ["s%d" % i for i in range(1, 9)] + ["x", "y", "z", "x2", "y2", "z2"]
    assert [getattr(P, n).offset for n in names] == list(range(0, 56, 4))
    assert (P.inconsistent.offset, P.aux.offset, P.config.offset,
            P.version.offset) == (56, 88, 92, 96)
    assert [getattr(P6, n).offset for n in ("Fx", "Fy", "Fz", "Tx", "Ty", "Tz")] \
        == list(range(0, 24, 4))
    assert [getattr(P6, "sensor%d" % i).offset for i in range(1, 5)] == [24, 124, 224, 324]


def test_config_byte_decoding():
    cases = {0xB0: (5, 100, 0, 0), 0xA5: (5, 1000, 50, 1),
             0xFF: (7, 30, 15, 1), 0x0A: (0, 333, 150, 0)}
    for byte, expected in cases.items():
        c = brv.Config.from_byte(byte)
        assert (c.state, c.rate, c.filter_hz, c.mode) == expected, hex(byte)
        assert c.value == byte


def _ctype(c):
    c = re.sub(r"\s*\*", "*", c.replace("const ", "")).strip()
    base = {"void": None, "int": c_int, "bool": c_bool, "brv_bool": c_ubyte, "brv_truth": c_bool,
            "brv_daq*": c_void_p, "int32_t": c_int32, "int64_t": c_int64,
            "int64_t*": POINTER(c_int64), "double": c_double, "uint32_t*": POINTER(c_uint32),
            "brv_ports*": c_void_p, "char*": c_char_p,
            "char**": POINTER(c_void_p), "char***": POINTER(POINTER(c_void_p)),
            "int*": POINTER(c_int), "int**": POINTER(POINTER(c_int)),
            "brv_config*": POINTER(_lib.Config),
            "brv_statistics*": POINTER(_lib.Statistics),
            "brv_package*": POINTER(_lib.Package),
            "brv_package**": POINTER(POINTER(_lib.Package)),
            "brv_package6d*": POINTER(_lib.Package6D),
            "brv_calibration*": c_void_p, "double*": POINTER(c_double)}
    return base[c]


# Texts handed out to be released (callDeleteText): kept as raw addresses.
_RELEASED_TEXTS = {"callCalibration_Identification", "callCalibration_Serial",
                   "callCalibration_Inputs", "callCalibration_Error"}


def test_every_header_function_is_declared_with_its_types():
    if not HEADER.exists():
        pytest.skip("header not found at %s" % HEADER)
    text = re.sub(r"/\*.*?\*/", "", HEADER.read_text(), flags=re.S)
    found = re.findall(r"BRV_C_EXPORT\s+([\w\s\*]+?)\s*\b(call\w+)\s*\(([^)]*)\)\s*;", text)
    assert len(found) == 61
    lib = brv.lib()
    assert {name for _, name, _ in found} == set(_lib.PROTOTYPES)
    for ret, name, params in found:
        params = [] if params.strip() == "void" else [
            re.sub(r"\b\w+$", "", p.strip()) for p in params.split(",")]
        fn = getattr(lib, name)
        assert fn.restype == (c_void_p if name in _RELEASED_TEXTS else _ctype(ret)), name
        assert list(fn.argtypes) == [_ctype(p) for p in params], name


def test_null_handles_and_null_arrays_are_accepted():
    lib = brv.lib()
    pkg = _lib.Package()
    assert lib.callRead(None, ctypes.byref(pkg), 0, False) == -2
    assert lib.callIsOpen(None) is False
    assert lib.callGetLastSize(None) == 0
    arr, ints = _lib.PackagePtr(), _lib.IntPtr()
    lib.callDeletePackageArray(ctypes.byref(arr))
    lib.callDeleteIntArray(ctypes.byref(ints))
    lib.callBrovaDAQ_Dispose(None)
    lib.callBrovaPorts_Dispose(None)
    # A handle that never opened answers like a closed device.
    daq = lib.callBrovaDAQ_Create()
    assert daq
    assert lib.callReadAll(daq, ctypes.byref(arr), False) == -2 and not arr
    assert brv.Config.from_byte(_get_config(lib, daq)) == brv.Config.from_byte(0xB0)
    lib.callBrovaDAQ_Dispose(daq)


def _get_config(lib, daq):
    c = _lib.Config(0)
    lib.callGetConfig(daq, ctypes.byref(c))
    return c.value
