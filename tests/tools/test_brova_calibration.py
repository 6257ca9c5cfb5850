"""Forces in N from a calibration file: brova stream's calibrated columns and
sidecar, lookup by identity in the calibration folders (and what it skips or
cannot match, said), files refused for another sensor, for a bad field, or
for not being a regular file (at once: a FIFO or /dev/zero never hangs)."""

import csv
import hashlib
import io
import json
import os
import tempfile

import pytest

from conftest import LOAD, LOAD6, brova

BIAS = (0.5, -0.25, 1.0)


def calibration(kind, identification="", gain=0.01, bias=BIAS, six_axis=False, serial="S-17"):
    """A calibration of channel 0 (or the six-axis sensor): gain N per count on
    the diagonal, bias in N."""
    n = 6 if six_axis else 3
    block = {"inputs": ["Fx", "Fy", "Fz", "Tx", "Ty", "Tz"] if six_axis else ["x", "y", "z"],
             "matrix": [[gain if r == c else 0.0 for c in range(n)] for r in range(n)],
             "bias": list(bias) * (n // 3)}
    doc = {"format": "brova-calibration", "version": 1,
           "identity": {"kind": kind, "identification": identification, "serial": serial, "date": "2024-05-01"},
           "units": {"force": "N", "torque": "N*m"} if six_axis else {"force": "N"}}
    if six_axis:
        doc["sixAxis"] = block
    else:
        doc["channels"] = [dict(channel=0, **block)]
    return doc


def write(doc, folder=None, name="cal.json"):
    folder = folder or tempfile.mkdtemp(prefix="brv")
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write(doc if isinstance(doc, str) else json.dumps(doc))
    return path


def test_stream_writes_newtons_beside_the_counts(sim):
    dev = sim(68)
    path = write(calibration(68))
    out = os.path.join(tempfile.mkdtemp(prefix="brv"), "run.csv")
    code, _, err = brova("stream", dev.port, "--kind", 68, "--count", 20, "--calibration", path, "--output", out)
    assert code == 0, err
    assert "calibration: %s (serial S-17, date 2024-05-01)" % path in err
    rows = list(csv.DictReader(open(out)))
    # The counts keep their columns; the newtons follow them.
    assert list(rows[0]) == ["time", "sample", "channel", "state", "x", "y", "z"] + \
        ["s%d" % i for i in range(1, 9)] + ["aux", "x_N", "y_N", "z_N", "flags"]
    for r in rows:
        assert tuple(int(r[a]) for a in "xyz") == LOAD[0]
        assert [float(r[a + "_N"]) for a in "xyz"] == pytest.approx([c * 0.01 + b for c, b in zip(LOAD[0], BIAS)])
    meta = json.load(open(out + ".json"))
    cal = meta["devices"][0]["calibration"]
    assert cal["path"] == path and cal["sha256"] == hashlib.sha256(open(path, "rb").read()).hexdigest()
    assert meta["units"]["x"] == "counts" and meta["units"]["x_N"] == "N"

    # Tared: the bias is left out, the zero load reads 0 N.
    code, out, err = brova("stream", dev.port, "--kind", 68, "--count", 5, "--tare", "--calibration", path)
    assert code == 0, err
    assert all(float(r[a + "_N"]) == 0 for r in csv.DictReader(io.StringIO(out)) for a in "xyz")


def test_six_axis_rows_carry_force_and_torque_units(sim):
    dev = sim(95)
    path = write(calibration(95, six_axis=True, gain=0.001, bias=(0, 0, 0)))
    code, out, err = brova("stream", dev.port, "--kind", 95, "--count", 5, "--format", "jsonl", "--calibration", path)
    assert code == 0, err
    for line in out.splitlines():
        row = json.loads(line)
        got = [row[k] for k in ("Fx_N", "Fy_N", "Fz_N", "Tx_Nm", "Ty_Nm", "Tz_Nm")]
        assert got == pytest.approx([c * 0.001 for c in LOAD6])


def test_lookup_finds_the_sensors_file_by_identity(sim):
    dev = sim(31, "--ident", "DESK031")
    config = tempfile.mkdtemp(prefix="brv")
    folder = os.path.join(config, "brova", "calibration")
    os.makedirs(folder)
    # First in name order: another sensor of the kind, and a file without an
    # identification (never picked by lookup); then the sensor's own.
    write(calibration(31, "OTHER01", gain=1.0), folder, "a.json")
    write(calibration(31, "", gain=1.0), folder, "b.json")
    mine = write(calibration(31, "DESK031"), folder, "desk.json")
    env = dict(os.environ, XDG_CONFIG_HOME=config)

    code, out, err = brova("stream", dev.port, "--kind", 31, "--count", 5, env=env)
    assert code == 0, err
    assert "calibration: %s (serial S-17" % mine in err
    row = next(csv.DictReader(io.StringIO(out)))
    assert float(row["x_N"]) == pytest.approx(LOAD[0][0] * 0.01 + BIAS[0])

    code, out, err = brova("info", dev.port, "--kind", 31, env=env)
    assert code == 0 and "\ncalibration: %s (serial S-17, date 2024-05-01)\n" % mine in out, out + err

    code, out, err = brova("stream", dev.port, "--kind", 31, "--count", 5, "--no-calibration", env=env)
    assert code == 0 and "calibration: none (--no-calibration): values are counts" in err
    assert "x_N" not in out.splitlines()[0]

    os.remove(mine)
    code, out, _ = brova("info", dev.port, "--kind", 31, env=env)
    assert code == 0 and "\ncalibration: none: values are counts\n" in out, out


def test_a_file_for_another_sensor_or_with_a_bad_field_is_refused(sim):
    dev = sim(68)
    other = write(calibration(94))
    code, out, err = brova("stream", dev.port, "--kind", 68, "--count", 5, "--calibration", other)
    assert code == 4 and out == ""
    assert "identity.kind" in err and "94" in err and "--force-calibration" in err, err
    code, out, err = brova("stream", dev.port, "--kind", 68, "--count", 5, "--calibration", other,
                           "--force-calibration")
    assert code == 0 and "x_N" in out.splitlines()[0], err

    # A bad file is refused before any port is looked at.
    doc = calibration(68)
    doc["channels"][0]["matrix"] = [[0.01, 0, 0], [0, 0.01, 0]]
    bad = write(doc)
    code, out, err = brova("stream", "/dev/brv-no-such-port", "--calibration", bad)
    assert code == 1 and out == ""
    assert bad in err and "channels[0].matrix" in err, err


def test_what_lookup_skips_or_cannot_match_is_told_and_nothing_hangs(sim, tmp_path):
    dev = sim(68)
    folder = tmp_path / "config" / "brova" / "calibration"
    os.makedirs(folder)
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    os.symlink(fifo, folder / "a.json")
    os.symlink("/dev/zero", folder / "b.json")
    os.symlink(str(tmp_path / "gone.json"), folder / "c.json")
    os.mkdir(folder / "d.json")
    write(calibration(68, ""), str(folder), "e.json")
    write(calibration(68, "OTHER"), str(folder), "f.json")
    write(calibration(94, ""), str(folder), "g.json")  # another kind: not this sensor's business
    env = dict(os.environ, XDG_CONFIG_HOME=str(tmp_path / "config"))

    code, out, err = brova("info", dev.port, "--kind", 68, env=env)
    assert code == 0 and "\ncalibration: none: values are counts\n" in out, out + err
    said = err.splitlines()
    for name, why in (("a", "skipped: %s/a.json: not a regular file but a FIFO"),
                      ("b", "skipped: %s/b.json: not a regular file but a character device"),
                      ("c", "skipped: %%s/c.json: a symbolic link to %s, which does not exist" % (tmp_path / "gone.json")),
                      ("d", "skipped: %s/d.json: not a regular file but a directory"),
                      ("e", "not picked: %s/e.json: for kind 68 without an identification"),
                      ("f", "not picked: %s/f.json: for kind 68 \"OTHER\", not this sensor")):
        assert any(line.startswith("brova: calibration " + why % folder) for line in said), (name, err)
    assert "g.json" not in err

    # Named: refused at once, before any port is looked at.
    for bad, what in ((fifo, "a FIFO"), ("/dev/zero", "a character device")):
        code, out, err = brova("stream", "/dev/brv-no-such-port", "--calibration", bad)
        assert code == 1 and out == "" and "%s: not a regular file but %s" % (bad, what) in err, err
