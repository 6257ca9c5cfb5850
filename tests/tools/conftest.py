"""The installed brova command against simulated sensors (brova-sim
processes on pseudo-terminals). BROVA and BROVA_SIM name the installed
programs."""

import os
import signal
import subprocess
import tempfile
import time

import pytest

BROVA = os.environ.get("BROVA", "brova")
SIM = os.environ.get("BROVA_SIM", "brova-sim")
LOAD = {0: (100, -50, 20000), 1: (200, -100, 20001), 2: (300, -150, 20002), 3: (400, -200, 20003)}
LOAD6 = (-1000, 2000, 3000, 400, -500, 600)


def brova(*args, timeout=30, **kw):
    """Runs brova to its end; returns (exit code, stdout, stderr)."""
    p = subprocess.run([BROVA, *map(str, args)], capture_output=True, text=True, timeout=timeout, **kw)
    return p.returncode, p.stdout, p.stderr


class Sim:
    def __init__(self, kind, *extra):
        args = [SIM, "--kind", str(kind), "--load6", ",".join(map(str, LOAD6))]
        for c in range(4 if kind in (94, 95, 34, 64) else 1):
            args += ["--channel-load", "%d:%d,%d,%d" % ((c,) + LOAD[c])]
        # With --log, what the host sent is kept (read it with received()).
        self.log = tempfile.TemporaryFile("w+") if "--log" in extra else None
        self.proc = subprocess.Popen(args + [str(e) for e in extra], stdout=subprocess.PIPE, stderr=self.log,
                                     text=True)
        self.port = self.proc.stdout.readline().strip()
        assert self.port, "brova-sim did not start"

    def received(self):
        self.log.seek(0)
        return self.log.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(10)


@pytest.fixture
def sim():
    started = []

    def start(kind, *extra):
        s = Sim(kind, *extra)
        started.append(s)
        return s

    yield start
    for s in started:
        s.stop()


def wait_for(predicate, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return False
