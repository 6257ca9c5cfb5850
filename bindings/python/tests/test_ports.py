"""Port discovery on this machine, which has no USB serial adapter."""

import ctypes
import glob

import pytest

import brv

# With an adapter plugged in, the watcher would find (and probe) it.
pytestmark = pytest.mark.skipif(bool(glob.glob("/dev/ttyUSB*") + glob.glob("/dev/ttyACM*")),
                                reason="this machine has USB serial adapters")


def test_no_sensor_listed_and_queues_empty():
    with brv.Ports() as ports:
        assert ports.list() == []
        assert len(ports) == 0
        assert ports.new_ports() == [] and ports.lost_ports() == []
        # An empty queue still hands out three (empty) texts to release.
        lib, triple = brv.lib(), (ctypes.c_void_p * 3)()
        lib.callGetNewPort(ports._h, triple)
        assert all(triple) and [ctypes.string_at(t) for t in triple] == [b""] * 3
        lib.callDeleteBPORT(triple)
        # List, take, release many times over (leaks show under ASan).
        for _ in range(200):
            assert ports.list() == []
            ports.new_ports()
            ports.lost_ports()
            ports._take(lib.callGetLostPort)
    with pytest.raises(brv.BRVError):
        ports.list()
    ports.close()
