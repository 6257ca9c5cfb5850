"""A whole host cycle per device kind against the simulator, through the
Pythonic layer and the flat functions it does not wrap."""

import ctypes
import time

import pytest

import brv
from conftest import AUX, CHANNELS, KIND_TEXT, LOAD6, VERSION, channel_load

WAIT = 1.0  # seconds to wait for frames of a 1000 frames-per-second device


def poll(read):
    deadline = time.monotonic() + WAIT
    while True:
        r = read()
        if r or time.monotonic() > deadline:
            return r
        time.sleep(0.002)


def every(items):
    """items when none is empty, else None (to poll with)."""
    return items if items and all(items) else None


def wrench_of_four():
    (x1, y1, z1), (x2, y2, z2), (x3, y3, z3), (x4, y4, z4) = map(channel_load, range(4))
    t = lambda v: int(v)  # truncation toward zero
    return brv.Wrench(t((x1 + x2 + x3 + x4) / 4), t((y1 + y2 + y3 + y4) / 4),
                      t((z1 + z2 + z3 + z4) / 16), t((z1 - z3) / 2),
                      t((z4 - z2) / 2), t((y3 + x4 - x1 - x2) / 4))


def check_three_axis(dev, kind):
    n = CHANNELS[kind]
    s = dev.read(timeout=WAIT)
    assert s.force == channel_load(0) and s.aux == AUX and s.version == VERSION[kind]
    assert s.s[0] - s.s[2] == s.x and s.raw[:4] == s.s[:4]
    assert (s.config.rate, s.config.filter_hz) == (1000, 15)
    assert dev.read(channel=n - 1, timeout=WAIT).force == channel_load(n - 1)
    with pytest.raises(brv.NotServed):
        dev.read(channel=n)
    with pytest.raises(brv.NotServed):
        dev.read_6d()

    assert dev.tare(0)
    s = dev.read(timeout=WAIT)
    assert s.force == (0, 0, 0) and s.raw[:4] != (0, 0, 0, 0)
    assert dev.untare(0)
    assert dev.read(timeout=WAIT).force == channel_load(0)

    latest = poll(lambda: every(dev.read_channels()))
    assert [c.force for c in latest] == [channel_load(c) for c in range(n)]
    assert dev.tare()
    assert [c.force for c in poll(lambda: every(dev.read_channels()))] == [(0, 0, 0)] * n
    assert dev.untare()

    for _ in range(2):  # the second call resizes the array the first left
        per_channel = poll(lambda: every(dev.read_all()))
        assert len(per_channel) == n and len({len(c) for c in per_channel}) == 1
        for c, samples in enumerate(per_channel):
            assert {p.force for p in samples} == {channel_load(c)}

    lib, h = brv.lib(), dev.handle
    values = (ctypes.c_int * 8)()
    assert poll(lambda: lib.callReadArray(h, values, False) > 0)
    assert list(values) == list(s.raw[:4]) + [100, -50, 20000, AUX]
    grid = (ctypes.c_int * 128)(*([7] * 128))
    assert poll(lambda: lib.callReadVirtualArray(h, grid, False) > 0)
    assert [grid[8 * c:8 * c + 3] for c in range(n)] == [list(channel_load(c)) for c in range(n)]
    assert grid[8 * n:] == [7] * (128 - 8 * n)
    assert dev.is_virtual() == (n == 4)

    if n == 4:
        assert dev.read_6axis(timeout=WAIT) == wrench_of_four()
        groups = poll(dev.read_all_6axis)
        assert groups and set(groups) == {wrench_of_four()}
    else:
        with pytest.raises(brv.NotServed):
            dev.read_6axis()
        with pytest.raises(brv.NotServed):
            dev.read_all_6axis()


def check_six_axis(dev, kind):
    s = dev.read_6d(timeout=WAIT)
    assert (s.force + s.torque) == LOAD6
    assert [u.force for u in s.units] == [channel_load(c) for c in range(4)]
    assert {(u.aux, u.version, u.config.filter_hz) for u in s.units} == {(AUX, VERSION[kind], 15)}
    for three_axis in (dev.read, dev.read_channels, dev.read_all, dev.read_6axis):
        with pytest.raises(brv.NotServed):
            three_axis()
    dev.tare()
    zeroed = dev.read_6d(timeout=WAIT)
    assert zeroed.force + zeroed.torque == (0,) * 6
    dev.untare()
    assert dev.read_6d(timeout=WAIT).force == LOAD6[:3]


@pytest.mark.parametrize("kind", [68, 94, 95, 31, 34, 64])
def test_whole_cycle(sim, kind):
    port = sim(kind)
    with brv.Device(port, KIND_TEXT[kind]) as dev:
        assert dev.is_open and dev.checksum_ok and dev.port_name == port
        assert dev.version == VERSION[kind]
        assert dev.config == brv.Config.from_byte(0xB0)
        assert dev.configure(rate=1000, filter_hz=50)
        assert (dev.config.rate, dev.config.filter_hz, dev.config.mode) == (1000, 50, 0)
        assert dev.configure(filter_hz=15)  # the rate is kept
        assert (dev.config.rate, dev.config.filter_hz) == (1000, 15)
        (check_six_axis if dev.six_axis else check_three_axis)(dev, kind)
        assert dev.sensor_count == CHANNELS[kind]
        stats = dev.statistics()
        assert stats["framesAccepted"] > 0 and stats["bytesReceived"] > 0
        assert stats["checksumFailures"] == stats["framesMalformed"] == 0
    assert not dev.is_open and repr(dev) == "<brv.Device closed>"
    assert not dev._all  # the read_all array was released and forgotten
    with pytest.raises(brv.DeviceClosed):
        dev.read()


def test_failures(sim):
    for port in ("", "/dev/brv-no-such-port"):
        with pytest.raises(brv.OpenError):
            brv.Device(port, "68")
    with pytest.raises(TypeError):
        brv.Device("/dev/null")
    port = sim(68)
    dev = brv.Device(brv.PortInfo(port, "68 v1.1", ""))
    for bad in ({"rate": 500}, {"filter_hz": 10}, {"mode": "fast"}):
        with pytest.raises(ValueError):
            dev.configure(**bad)
    assert dev.read(timeout=WAIT) is not None
    sim.procs[-1].terminate()  # unplugged: the reader stops
    sim.procs[-1].wait()
    with pytest.raises(brv.DeviceClosed):
        poll(lambda: dev.read() and False)
    assert dev.last_status in (-2, -4)
    assert poll(lambda: not dev.is_open)  # the reader thread is ending
    for closed_call in (dev.tare, dev.read_all, dev.read_6axis):
        with pytest.raises(brv.DeviceClosed):
            closed_call()
    dev.close()
    dev.close()


def test_watched_pseudo_terminal_is_identified_and_opened(sim):
    port = sim(34)
    with brv.Ports() as ports:
        with pytest.raises(ValueError):
            ports.watch("/dev/" + "x" * 20)
        ports.watch(port)
        deadline = time.monotonic() + 10
        found = []
        while not found and time.monotonic() < deadline:
            found = [p for p in ports.new_ports() if p.port == port]
            time.sleep(0.05)
        assert found and found[0].device_name == KIND_TEXT[34]
    with brv.Device(found[0]) as dev:
        assert dev.version == VERSION[34]


def test_array_reads_match_the_object_reads(sim):
    np = pytest.importorskip("numpy")
    from brv import arrays
    with brv.Device(sim(94), KIND_TEXT[94]) as dev:
        time.sleep(0.05)
        rows = dev.read_all_array()
        names = arrays.array_fields(4)
        assert rows.dtype == np.int32 and rows.shape[1] == len(names) and len(rows) > 10
        for c in range(4):
            x, y, z = (names.index("c%d.%s" % (c, f)) for f in "xyz")
            assert (rows[:, [x, y, z]] == channel_load(c)).all()
            assert (rows[:, names.index("c%d.aux" % c)] == AUX).all()
            assert (rows[:, names.index("c%d.state" % c)] == 5).all()
        time.sleep(0.05)
        wrenches = dev.read_all_6axis_array()
        w = dev.read_6axis(timeout=WAIT)  # the same steady load: the same values
        assert wrenches.shape[1] == 6 and len(wrenches) > 10
        assert (wrenches == [[w.fx, w.fy, w.fz, w.tx, w.ty, w.tz]]).all()


def test_time_column_and_stamps(sim):
    np = pytest.importorskip("numpy")
    with brv.Device(sim(94), KIND_TEXT[94]) as dev:
        assert dev.configure(rate=1000)  # the pace the simulator keeps
        dev.read_all()
        time.sleep(0.05)
        t, rows = dev.read_all_array(with_time=True)
        now = time.monotonic()
        assert t.dtype == np.float64 and len(t) == len(rows) > 10
        assert (np.diff(t) > 0).all() and now - 1.0 < t[-1] <= now
        assert (np.array(dev.stamps()) / 1e9 == t).all()  # stamps() is of the last read
        assert isinstance(dev.read_all_array(), np.ndarray)  # callers without times keep an array
        time.sleep(0.02)
        t6, wrenches = dev.read_all_6axis_array(with_time=True)
        assert len(t6) == len(wrenches) > 0 and t6[0] > t[-1]
        assert dev.read(timeout=WAIT) and len(dev.stamps()) == 1 and dev.stamps()[0] > t6[-1] * 1e9

        deadline = time.monotonic() + 5
        while dev.estimated_rate == 0 and time.monotonic() < deadline:
            dev.read_all()
            time.sleep(0.01)
        assert dev.estimated_rate == pytest.approx(1000, rel=1e-3)  # within what establishes it
    assert brv.realtime_offset() == pytest.approx(time.time() - time.monotonic(), abs=1.0)
