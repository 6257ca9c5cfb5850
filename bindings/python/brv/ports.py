"""brv.Ports: the sensors present on this machine, and those plugged in and
out, over the flat port-discovery functions."""

import ctypes
import os
from collections import namedtuple
from ctypes import byref

from ._owned import Owned
from . import _lib
from .errors import BRVError

PortInfo = namedtuple("PortInfo", "port device_name device_id")
PortInfo.__doc__ = """A sensor found on a port. device_name starts with the
kind code (e.g. "34 v0.9"); Device(info) opens it. device_id is empty for a
sensor recognised from its stream."""
PortInfo.port.__doc__ = "The serial port's path, e.g. /dev/ttyUSB0."
PortInfo.device_name.__doc__ = 'The kind text, e.g. "34 v0.9" ("unknown" when not identified).'
PortInfo.device_id.__doc__ = "The device's identification text (empty for stream devices)."


def _text(address):
    return os.fsdecode(ctypes.string_at(address)) if address else ""


class Ports(Owned):
    """A port-discovery object; its watcher thread runs from creation until
    close() or the end of a with block. Every text the library hands out is
    copied into Python strings and released through the library at once."""

    def __init__(self):
        self._lib = _lib.lib()
        self._h = self._lib.callBrovaPorts_Create()
        if not self._h:
            raise BRVError("cannot create a port-discovery object")

    def close(self):
        """Stops the watcher and releases the object; safe to call twice."""
        h, self._h = getattr(self, "_h", None), None
        if h:
            self._lib.callBrovaPorts_Dispose(h)

    def _handle(self):
        if not self._h:
            raise BRVError("the port-discovery object was closed")
        return self._h

    def list(self):
        """The sensors present now, as PortInfo tuples. The first call waits
        for the watcher's first scan."""
        h = self._handle()
        array = self._lib.callListPorts(h)
        count = self._lib.callGetLastSize(h)
        try:
            if not array:
                return []
            return [PortInfo(*(_text(array[3 * i + f]) for f in range(3)))
                    for i in range(count)]
        finally:
            self._lib.callDeletePORTLIST(byref(array), count)

    def watch(self, path):
        """Also watches path, a port the system does not list as a serial
        port (a pseudo-terminal, a virtual port): while it exists it is found,
        identified and lost like a port behind a USB serial bridge. Raises
        ValueError for an empty path or one longer than 24 bytes."""
        raw = os.fsencode(path)
        if not self._lib.callWatchPort(self._handle(), raw):
            raise ValueError("cannot watch %r: a port path has 1 to 24 bytes" % (path,))

    def __len__(self):
        """The number of sensors present now."""
        return self._lib.callGetSizePorts(self._handle())

    def _take(self, get):
        triple = (ctypes.c_void_p * 3)()
        get(self._h, triple)
        try:
            return PortInfo(*(_text(t) for t in triple))
        finally:
            self._lib.callDeleteBPORT(triple)

    def new_ports(self):
        """Sensors plugged in since the last call (the queue is drained)."""
        h = self._handle()
        found = []
        while self._lib.callIsNewPort(h):
            info = self._take(self._lib.callGetNewPort)
            if info.port:
                found.append(info)
        return found

    def lost_ports(self):
        """Sensors unplugged since the last call; only .port is filled."""
        h = self._handle()
        lost = []
        while self._lib.callIsLostPort(h):
            info = self._take(self._lib.callGetLostPort)
            if info.port:
                lost.append(info)
        return lost
