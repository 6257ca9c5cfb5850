"""Calibration files through the binding: a simulated four-channel device's
reads in newtons, and the library's messages for files it refuses."""

import json
import time

import numpy as np
import pytest

import brv
from conftest import channel_load

DIAG = (0.01, 0.02, 0.03, 0.004, 0.005, 0.006)
CALIBRATION = {
    "format": "brova-calibration", "version": 1,
    "identity": {"kind": 34, "identification": "PY-1"},
    "units": {"force": "N", "torque": "N*m"},
    "channels": [
        {"channel": 0, "inputs": ["x", "y", "z"],
         "matrix": [[0.5, 0, 0], [0, 0.25, 0], [0, 0, 0.001]], "bias": [1, 2, 3]},
        {"channel": 3, "inputs": ["x", "z"],
         "matrix": [[0.1, 0], [0.05, 0], [0, 0.002]], "bias": [0, 0, -40]},
    ],
    "sixAxis": {"inputs": ["sensor1.x", "sensor2.y", "sensor3.z", "sensor4.x", "sensor1.y", "sensor4.z"],
                "matrix": np.diag(DIAG).tolist(), "bias": [1, 2, 3, 4, 5, 6]},
}


def write(tmp_path, data, name="cal.json"):
    path = tmp_path / name
    path.write_text(json.dumps(data))
    return str(path)


def some(read):
    """read() until it gives at least one row (or a second passed); a tuple
    (t, rows, flags) counts the rows of its last part."""
    deadline = time.monotonic() + 1.0
    while True:
        rows = read()
        if len(rows[-1] if isinstance(rows, tuple) else rows) or time.monotonic() > deadline:
            return rows
        time.sleep(0.005)


def expected_forces(bias):
    (x0, y0, z0), (x3, _, z3) = channel_load(0), channel_load(3)
    nan = [np.nan] * 3
    return np.array([0.5 * x0 + bias * 1, 0.25 * y0 + bias * 2, 0.001 * z0 + bias * 3]
                    + nan + nan + [0.1 * x3, 0.05 * x3, 0.002 * z3 - bias * 40])


def expected_wrench(bias):
    (x1, y1, _), (_, y2, _), (_, _, z3), (x4, _, z4) = map(channel_load, range(4))
    counts = np.array([x1, y2, z3, x4, y1, z4], dtype=float)
    return np.array(DIAG) * counts + bias * np.arange(1, 7)


def test_simulator_reads_in_newtons(sim, tmp_path):
    port = sim(34)
    with brv.Calibration(write(tmp_path, CALIBRATION)) as cal, brv.Device(port, "34") as dev:
        assert cal.matches(34, "PY-1") and cal.matches("34 v0.9")
        assert not cal.matches(34, "PY-2") and "PY-1" in cal.error
        assert cal.inputs(3) == ["x", "z"] and cal.inputs(1) == []

        forces = some(lambda: dev.read_all_forces(cal, tared=False))
        assert forces.dtype == np.float64 and forces.shape[1] == 12
        assert brv.force_fields(4)[9:] == ["c3.fx", "c3.fy", "c3.fz"]
        np.testing.assert_allclose(forces, np.tile(expected_forces(1), (len(forces), 1)))

        rows = some(dev.read_all_array)
        np.testing.assert_allclose(cal.apply_forces(rows, tared=True),
                                   np.tile(expected_forces(0), (len(rows), 1)))
        np.testing.assert_allclose(cal.apply_wrenches_from_channels(rows, tared=False),
                                   np.tile(expected_wrench(1), (len(rows), 1)))
        wrenches = some(lambda: dev.read_all_wrenches(cal, tared=True))
        assert wrenches.shape[1] == 6
        np.testing.assert_allclose(wrenches, np.tile(expected_wrench(0), (len(wrenches), 1)))
        with pytest.raises(brv.CalibrationError, match="sensor1.x"):
            cal.apply_wrenches(np.zeros((1, 6), dtype=np.int32), tared=False)

        # The tare is subtracted in counts first: a tared channel 0 reads zero
        # newtons without the bias.
        dev.tare()
        forces = some(lambda: dev.read_all_forces(cal, tared=True))
        np.testing.assert_allclose(forces[:, :3], 0.0, atol=1e-12)


def test_flags_beside_the_values_of_a_saturated_sensor(sim, tmp_path):
    # Elements near 20000 counts, saturating above 15000: every channel at
    # its rails, and x of channel 0 (0.5 N per count) far over its 10 N.
    ranged = json.loads(json.dumps(CALIBRATION))
    ranged["channels"][0]["range"] = [10, 10000, 1000]
    port = sim(34, "--saturate", "15000")
    rails = brv.flags.RAIL | brv.flags.ELEMENT_RAIL | brv.flags.VECTOR_RAIL | 0xF * brv.flags.CHANNEL_RAIL
    with brv.Calibration(write(tmp_path, ranged)) as cal, brv.Device(port, "34") as dev:
        assert cal.range(0) == [10, 10000, 1000] and cal.range(3) is None and cal.range() is None
        rows, flags = some(lambda: dev.read_all_array(with_flags=True))
        assert flags.dtype == np.uint32 and flags.shape == (len(rows),)
        assert (flags == rails).all() and dev.flags() == list(flags)
        t, forces, flags = some(lambda: dev.read_all_forces(cal, tared=False, with_time=True, with_flags=True))
        assert len(t) == len(forces) == len(flags)
        assert (flags == rails | brv.flags.OVER_RANGE | brv.flags.AXIS_OVER_RANGE).all()
        assert brv.flags.axes_over_range(int(flags[0])) == [0]
        assert brv.flags.railed_channels(int(flags[0])) == [0, 1, 2, 3]


def test_refused_files_raise_the_librarys_message(tmp_path):
    bad = json.loads(json.dumps(CALIBRATION))
    bad["channels"][1]["matrix"] = [[0.1, 0], [0, 0.002]]
    path = write(tmp_path, bad, "bad.json")
    with pytest.raises(brv.CalibrationError) as refused:
        brv.Calibration.load(path)
    assert path in str(refused.value) and "channels[1].matrix" in str(refused.value)
    with pytest.raises(brv.CalibrationError, match="nothing.json"):
        brv.Calibration(str(tmp_path / "nothing.json"))

    # A file without a six-axis part gives no wrenches, and says so.
    del bad["sixAxis"], bad["channels"][1]
    with brv.Calibration(write(tmp_path, bad, "forces.json")) as cal:
        with pytest.raises(brv.CalibrationError, match="six-axis"):
            cal.apply_wrenches_from_channels(np.zeros((1, 52), dtype=np.int32), tared=False)


def test_six_axis_samples_with_their_units(tmp_path):
    six = dict(CALIBRATION, identity={"kind": 95})
    del six["channels"]

    def unit(i):
        return brv.Sample(x=10 * i, y=-i, z=1000 + i, s=(0,) * 8, x2=0, y2=0, z2=0, raw=(0,) * 8,
                          aux=0, config=brv.Config.from_byte(0xB0), version=5)
    # Fx ... Tz are not read by this part: only the units' fields count.
    sample = brv.Sample6D(7, 7, 7, 7, 7, 7, units=tuple(unit(i) for i in range(1, 5)))
    with brv.Calibration(write(tmp_path, six)) as cal:
        got = cal.apply_wrenches([sample, sample], tared=False)
    counts = np.array([10, -2, 1003, 40, -1, 1004], dtype=float)
    np.testing.assert_allclose(got, np.tile(np.array(DIAG) * counts + np.arange(1, 7), (2, 1)))
