"""The examples as a user builds and runs them: the C and C++ ones built
against the installed library (find_package(BRV)), the Python one on the
binding, the C# one on Brv.dll, each run against a simulated sensor and its
output checked. EXAMPLES, BRV_PREFIX, BROVA_SIM, BRV_LIBRARY, BRV_PYTHONPATH,
BRV_CSHARP_DLL come from the test's environment."""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

EXAMPLES = os.environ["EXAMPLES"]
SIM = os.environ["BROVA_SIM"]
LOAD6 = (-1000, 2000, 3000, 400, -500, 600)


class Sim:
    def __init__(self, kind, *extra):
        args = [SIM, "--kind", str(kind), "--load6", ",".join(map(str, LOAD6)), *map(str, extra)]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
        self.port = self.proc.stdout.readline().strip()
        assert self.port, "brova-sim did not start"

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(10)


@pytest.fixture
def sim():
    started = []
    yield lambda kind, *extra: started.append(Sim(kind, *extra)) or started[-1]
    for s in started:
        s.stop()


@pytest.fixture(scope="module")
def built():
    """The C and C++ examples, configured and built as the README says."""
    out = tempfile.mkdtemp(prefix="brv-examples")
    for step in (["cmake", "-S", EXAMPLES, "-B", out, "-DCMAKE_PREFIX_PATH=" + os.environ["BRV_PREFIX"]],
                 ["cmake", "--build", out]):
        p = subprocess.run(step, capture_output=True, text=True)
        assert p.returncode == 0, p.stdout + p.stderr
    yield out
    shutil.rmtree(out)


def run(args, timeout=60, **kw):
    p = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=timeout, **kw)
    assert p.returncode == 0, p.stderr
    return p.stdout


def stamps_increase(lines):
    times = [float(l.split()[0]) for l in lines]
    return len(times) > 1 and all(b > a for a, b in zip(times, times[1:]))


def test_list_sensors_finds_the_simulated_one(built, sim):
    s = sim(94)
    out = run([os.path.join(built, "list_sensors"), 2, s.port])
    assert "found %s: 94" % s.port in out and "1 sensor(s) present at the end" in out


def test_read_samples_and_the_c_read_loop(built, sim):
    s = sim(94)
    out = run([os.path.join(built, "read_samples"), s.port, 94, 1]).splitlines()
    assert out[0] == "%s: kind 94, 4 channel(s)" % s.port and out[-1].startswith("estimated rate")
    rows = [l for l in out[1:-1] if " ch3 " in l]
    assert len(rows) > 300 and stamps_increase(rows)
    assert all(l.split()[2:] == ["0", "0", "0"] for l in rows)  # a constant load, tared
    t = sim(68)
    out = run([os.path.join(built, "read_loop"), t.port, 68, 1]).splitlines()
    assert len(out) > 300 and stamps_increase(out[:-1])
    assert out[-1].startswith("%d samples, 0 checksum failures" % (len(out) - 1))


def test_newtons_through_a_calibration_file(built, sim, tmp_path):
    s = sim(95)
    cal = tmp_path / "cal.json"
    gains = [0.01, 0.01, 0.01, 0.0005, 0.0005, 0.0005]
    cal.write_text(json.dumps({
        "format": "brova-calibration", "version": 1, "identity": {"kind": 95},
        "units": {"force": "N", "torque": "N*m"},
        "sixAxis": {"inputs": ["Fx", "Fy", "Fz", "Tx", "Ty", "Tz"],
                    "matrix": [[g if i == j else 0 for j in range(6)] for i, g in enumerate(gains)],
                    "bias": [0, 0, -1, 0, 0, 0]}}))
    out = run([os.path.join(built, "newtons"), s.port, 95, cal, 1]).splitlines()
    assert out and all(l.split() == ["F", "-10.000", "20.000", "29.000", "N", "T", "0.2000", "-0.2500",
                                     "0.3000", "N*m"] for l in out), out[:3]
    p = subprocess.run([os.path.join(built, "newtons"), s.port, "95", str(tmp_path / "none.json")],
                       capture_output=True, text=True)
    assert p.returncode == 1 and "none.json" in p.stderr


def test_reconnect_reopens_a_sensor_that_came_back(built, sim):
    link = tempfile.mktemp(prefix="brv", dir="/tmp")
    first = sim(68, "--link", link)
    p = subprocess.Popen([os.path.join(built, "reconnect"), link, "68", "8"], stdout=subprocess.PIPE, text=True)
    try:
        assert p.stdout.readline().strip() == "opened " + link
        time.sleep(0.5)
        first.stop()
        assert p.stdout.readline().startswith("lost " + link)
        sim(68, "--link", link)
        assert p.stdout.readline().strip() == "reopened " + link
        out, _ = p.communicate(timeout=30)
        assert p.returncode == 0 and "in 2 open(s)" in out
    finally:
        p.kill()


def test_python_reads_into_numpy(sim, tmp_path):
    s = sim(94)
    env = dict(os.environ, PYTHONPATH=os.environ["BRV_PYTHONPATH"])
    out = run([sys.executable, os.path.join(EXAMPLES, "python", "read_numpy.py"), s.port, 94, "--seconds", 1,
               "--output", tmp_path / "run.npz"], env=env)
    assert "saved to" in out
    import numpy as np
    data = np.load(tmp_path / "run.npz")
    assert len(data["time"]) > 300 and np.all(np.diff(data["time"]) > 0)
    assert data["counts"].shape == (len(data["time"]), len(data["columns"]))


@pytest.mark.skipif(not shutil.which("mcs") or not os.path.exists(os.environ.get("BRV_CSHARP_DLL", "")),
                    reason="no Mono C# compiler, or the C# binding was not built")
def test_csharp_read_loop(sim, tmp_path):
    shutil.copy(os.environ["BRV_CSHARP_DLL"], tmp_path)
    run(["mcs", "-nologo", "-r:" + str(tmp_path / "Brv.dll"), "-out:" + str(tmp_path / "ReadLoop.exe"),
         os.path.join(EXAMPLES, "csharp", "ReadLoop.cs")])
    s = sim(68)
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(os.environ["BRV_LIBRARY"]))
    out = run(["mono", tmp_path / "ReadLoop.exe", s.port, 68, 1], env=env).splitlines()
    assert len(out) > 300 and stamps_increase(out[:-1]) and ", 0 checksum failures" in out[-1]
