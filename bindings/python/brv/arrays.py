"""Every-sample reads as NumPy arrays: one array per call, samples x fields,
made from the library's own array without a Python loop per sample.

NumPy is optional: importing this module without it raises ImportError, and
the Device methods that use it say so.

CHANNEL_FIELDS: the fields of one channel in a row of read_all_array, in
order: x, y, z, s1 ... s8, aux, state.
WRENCH_FIELDS: the columns of read_all_6axis_array: fx, fy, fz, tx, ty, tz.
"""

import ctypes

import numpy as np

from . import _lib
from .errors import BRVError

# The fields of one channel in a row of read_all_array, in this order.
CHANNEL_FIELDS = ("x", "y", "z", "s1", "s2", "s3", "s4", "s5", "s6", "s7", "s8", "aux", "state")
# Fx, Fy, Fz, Tx, Ty, Tz: the columns of read_all_6axis_array.
WRENCH_FIELDS = ("fx", "fy", "fz", "tx", "ty", "tz")

# brv_package as int32 words, and the word of each channel field (state: the
# word that holds the configuration byte, in its low byte).
_WORDS = ctypes.sizeof(_lib.Package) // 4
_PICK = np.array([getattr(_lib.Package, "config" if f == "state" else f).offset // 4 for f in CHANNEL_FIELDS])


def array_fields(channels):
    """The column names of a read_all_array result for a device of that many
    channels: "c0.x", "c0.y", ... "c0.state", "c1.x", ..."""
    return ["c%d.%s" % (c, f) for c in range(channels) for f in CHANNEL_FIELDS]


def packages_to_rows(address, n, channels):
    """The library's channel-major array of channels x n packages at address
    as an (n, channels * 13) int32 array (a copy: the library reuses its
    array at the next read)."""
    words = np.ctypeslib.as_array(ctypes.cast(address, ctypes.POINTER(ctypes.c_int32)),
                                  shape=(channels, n, _WORDS))
    picked = words[:, :, _PICK]                      # channels x n x 13
    picked[:, :, 12] = (picked[:, :, 12] & 0xFF) >> 5  # the configuration's state field
    return np.ascontiguousarray(picked.transpose(1, 0, 2).reshape(n, channels * len(CHANNEL_FIELDS)))


def ints_to_wrenches(address, n):
    """The library's int array of n groups of six as an (n, 6) int32 array."""
    if n == 0:
        return np.zeros((0, 6), dtype=np.int32)
    return np.ctypeslib.as_array(ctypes.cast(address, ctypes.POINTER(ctypes.c_int32)), shape=(n, 6)).copy()


def stamps_to_seconds(cdll, handle, n):
    """The stamps of the last read's n samples (callGetStamps) as an (n,)
    float64 array of seconds on time.monotonic()'s clock."""
    stamps = np.zeros(n, dtype=np.int64)
    got = cdll.callGetStamps(handle, stamps.ctypes.data_as(ctypes.POINTER(ctypes.c_int64)), n)
    if got != n:
        raise BRVError("the library has %d stamps for a read of %d samples" % (got, n))
    return stamps / 1e9


def flags_of_read(cdll, handle, n):
    """The status flags of the last read's n samples (callGetFlags) as an
    (n,) uint32 array (brv.flags gives the bits)."""
    flags = np.zeros(n, dtype=np.uint32)
    got = cdll.callGetFlags(handle, flags.ctypes.data_as(ctypes.POINTER(ctypes.c_uint32)), n)
    if got != n:
        raise BRVError("the library has %d flags for a read of %d samples" % (got, n))
    return flags


def packages_from_rows(rows):
    """read_all_array's rows back into the library's channel-major package
    layout (channels x n records as int32 words; the fields of the rows
    filled, the rest 0): (words, n, channels)."""
    rows = np.asarray(rows)
    width = len(CHANNEL_FIELDS)
    if rows.ndim != 2 or rows.shape[1] == 0 or rows.shape[1] % width:
        raise ValueError("rows of read_all_array expected: (n, channels * %d), not %s" % (width, rows.shape))
    n, channels = rows.shape[0], rows.shape[1] // width
    words = np.zeros((channels, n, _WORDS), dtype=np.int32)
    # every field but state, which the configuration byte holds in part only
    words[:, :, _PICK[:-1]] = rows.reshape(n, channels, width)[:, :, :-1].transpose(1, 0, 2)
    return words, n, channels


def packages6d_from_wrenches(wrenches):
    """(n, 6) Fx ... Tz counts as n brv_package6d records (the four unit
    samples 0): (words, n)."""
    wrenches = np.asarray(wrenches)
    if wrenches.ndim != 2 or wrenches.shape[1] != len(WRENCH_FIELDS):
        raise ValueError("an (n, 6) array of Fx ... Tz expected, not %s" % (wrenches.shape,))
    words = np.zeros((wrenches.shape[0], ctypes.sizeof(_lib.Package6D) // 4), dtype=np.int32)
    words[:, :6] = wrenches
    return words, wrenches.shape[0]
