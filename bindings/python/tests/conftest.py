"""Shared fixtures: the package on sys.path, and simulated devices served by
brova-sim on pseudo-terminals."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

# The sources beside these tests, unless the test command names an installed
# copy to test (BRV_INSTALLED, on PYTHONPATH).
if not os.environ.get("BRV_INSTALLED"):
    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

SIM = os.environ.get("BRV_SIM", str(Path(__file__).resolve().parents[3] / "build" / "simulator" / "brova-sim"))
KIND_TEXT = {68: "68 v1.1", 94: "94 v0.9", 95: "95 v1.0",
             31: "31 v0.9", 34: "34 v0.9", 64: "64 v0.9"}
VERSION = {68: 3, 94: 4, 95: 5, 31: 6, 34: 7, 64: 8}
CHANNELS = {68: 1, 94: 4, 95: 4, 31: 1, 34: 4, 64: 4}
AUX = 1234
LOAD6 = (-1000, 2000, 3000, 400, -500, 600)


def channel_load(c):
    """The load the simulator puts on channel (or six-axis unit) c."""
    return (100 * (c + 1), -50 * (c + 1), 20000 + c)


@pytest.fixture
def sim():
    """Starts brova-sim --kind K at 1000 frames per second with a distinct
    load on every channel; returns the port path. Stopped at teardown."""
    procs = []

    def start(kind, *extra):
        if not os.access(SIM, os.X_OK):
            pytest.fail("no simulator at %s (set BRV_SIM)" % SIM)
        args = [SIM, "--kind", str(kind), "--pin-rate", "1000", "--aux", str(AUX),
                "--load6", ",".join(map(str, LOAD6))]
        for c in range(4 if kind in (94, 95, 34, 64) else 1):
            args += ["--channel-load", "%d:%d,%d,%d" % ((c,) + channel_load(c))]
        p = subprocess.Popen(args + list(extra), stdout=subprocess.PIPE, text=True)
        procs.append(p)
        port = p.stdout.readline().strip()
        assert port.startswith("/dev/"), "brova-sim printed %r" % port
        return port

    start.procs = procs
    yield start
    for p in procs:
        p.terminate()
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
