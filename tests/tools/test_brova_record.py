"""Recordings in MCAP (brova record, brova stream --output FILE.mcap, brova
info FILE.mcap) against simulated sensors, read back by the format's
independent readers from the npm registry (NPM_MODULES: installed there at
the start, pinned to major versions; the tests that need them are skipped
when the registry cannot be reached) and by the Python binding's reader:
the same capture replayed into brova stream's CSV and into a recording gives
the same counts and newtons; a recorder killed with SIGKILL leaves a .partial
that readers recover; a full disk ends the run with every complete chunk
kept; bad options and files are refused before any port is opened."""

import csv
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

from conftest import BROVA, brova, wait_for

sys.path.insert(0, os.environ.get("BRV_PYTHONPATH", ""))
import brv  # noqa: E402  (the binding's source, for its recording reader)

NODE = os.environ.get("NODE", "node")
NPM = os.environ.get("NPM", "npm")
MODULES = os.environ.get("NPM_MODULES", os.path.join(tempfile.gettempdir(), "brv_npm_recording"))
READER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "recording", "read_recording.cjs")
PACKAGES = ["@mcap/core@2", "@mcap/support@1", "@foxglove/rosmsg@5", "@foxglove/rosmsg2-serialization@3"]


@pytest.fixture(scope="module")
def readers():
    """The npm readers, installed once into MODULES."""
    if shutil.which(NODE) is None or shutil.which(NPM) is None:
        pytest.skip("node and npm are not installed")
    if subprocess.run([NPM, "ping", "--no-update-notifier"], capture_output=True, timeout=60).returncode != 0:
        pytest.skip("the npm registry cannot be reached")
    p = subprocess.run([NPM, "install", "--prefix", MODULES, "--no-save", "--no-package-lock", "--no-audit",
                        "--no-fund", "--no-update-notifier", "--ignore-scripts"] + PACKAGES,
                       capture_output=True, text=True, timeout=400)
    assert p.returncode == 0, p.stderr

    def read(path):
        p = subprocess.run([NODE, READER, MODULES, path], capture_output=True, text=True, timeout=120)
        assert p.returncode == 0, p.stderr
        got = json.loads(p.stdout)
        assert got["faults"] == []
        return got
    return read


def work():
    return tempfile.mkdtemp(prefix="brvrec")


def csv_rows(path):
    return list(csv.DictReader(open(path)))


CAL6 = {"format": "brova-calibration", "version": 1,
        "identity": {"kind": 95, "identification": "", "serial": "S-6", "date": "2024-05-01"},
        "units": {"force": "N", "torque": "N*m"},
        "sixAxis": {"inputs": ["Fx", "Fy", "Fz", "Tx", "Ty", "Tz"],
                    "matrix": [[0.001 * (r + 1) if r == c else 0.0001 for c in range(6)] for r in range(6)],
                    "bias": [0.5, -0.25, 1.0, 0.01, 0.02, -0.03]}}


@pytest.mark.parametrize("kind,calibrated", [(95, True), (94, False)])
def test_a_recording_holds_what_the_csv_of_the_same_run_holds(sim, readers, kind, calibrated):
    d = work()
    capture = os.path.join(d, "cap.brv")
    dev = sim(kind, "--rate", 1000, "--noise", "40,7")
    assert brova("capture", dev.port, capture, "--kind", kind, "--duration", 0.6)[0] == 0
    dev.stop()
    cal = []
    if calibrated:
        with open(os.path.join(d, "cal.json"), "w") as f:
            json.dump(CAL6, f)
        cal = ["--calibration", os.path.join(d, "cal.json")]
    n = 400
    # The same capture replayed into both: the same samples from the first on.
    code, _, err = brova("stream", sim(kind, "--replay", capture).port, "--kind", kind, "--count", n, *cal,
                         "--output", os.path.join(d, "run.csv"))
    assert code == 0, err
    mcap = os.path.join(d, "run.mcap")
    code, _, err = brova("record", sim(kind, "--replay", capture).port, "--kind", kind, "--count", n, *cal,
                         "--name", "ft", "-o", mcap)
    assert code == 0, err
    assert not os.path.exists(mcap + ".partial") and not os.path.exists(mcap + ".json")  # no sidecar
    rows = csv_rows(os.path.join(d, "run.csv"))
    got = readers(mcap)
    assert got["finished"] and got["compression"] == ["zstd"] and got["chunks"] >= 1
    topics = got["topics"]
    counts = [s for m in topics["/brova/ft/counts"]["messages"] for s in m]
    assert [int(s[1]) for s in counts] == list(range(n))  # every sample once, numbered as the CSV
    stamps = [int(s[0]) for s in counts]
    assert all(b > a for a, b in zip(stamps, stamps[1:]))
    assert abs(stamps[0] / 1e9 - time.time()) < 120  # the real-time clock
    # The statuses brova publish sends, with the device's counters.
    status = topics["/diagnostics"]["messages"][-1][0]
    assert status["name"] == "brova record: ft" and status["values"]["samples published"] == str(n)
    assert status["values"]["units"] == ("N and N*m" if calibrated else "counts")

    py = brv.read_recording(mcap)
    s = py.sensors["ft"]
    assert py.finished and list(s.counts["sample"]) == list(range(n))
    assert list(s.stamp_ns) == stamps and s.flags.tolist() == [c[11] for c in counts]
    if kind == 95:
        wrench = topics["/brova/ft/wrench"]["messages"]
        assert [int(w[0]) for w in wrench] == stamps and {w[1] for w in wrench} == {"ft"}
        for r, c, w, v in zip(rows, counts, wrench, s.values):
            assert c[4:10] == [int(r[k]) for k in ("Fx", "Fy", "Fz", "Tx", "Ty", "Tz")]
            want = [float(r[k]) for k in ("Fx_N", "Fy_N", "Fz_N", "Tx_Nm", "Ty_Nm", "Tz_Nm")]
            assert w[2:] == pytest.approx(want, rel=1e-7) and list(v) == w[2:]
            assert len(c[10]) == 4 and c[10][0][11] == 0  # the four units' records
        assert s.counts["fx"].tolist() == [int(r["Fx"]) for r in rows]
        assert s.flags.tolist() == [int(r["flags"]) for r in rows]
    else:
        # A row per channel in the CSV; a topic per channel, and every
        # channel of a sample in its counts record.
        assert len(rows) == 4 * n
        for ch in range(4):
            wrench = topics["/brova/ft/ch%d/wrench" % ch]["messages"]
            mine = [r for r in rows if int(r["channel"]) == ch]
            assert [w[1] for w in wrench[:1]] == ["ft_ch%d" % ch]
            assert [w[2:5] for w in wrench] == [[float(r[a]) for a in "xyz"] for r in mine]
            fields = ["s%d" % i for i in range(1, 9)] + ["x", "y", "z", "aux"]
            assert [c[10][ch] for c in counts] == [[int(r[f]) for f in fields] for r in mine]
            assert s.values[:, ch, :].tolist() == [w[2:5] for w in wrench]

    # Channels: QoS and type hash as rosbag2 reads them; the file describes
    # itself for ros2 bag info.
    for c in got["channels"]:
        assert c["metadata"]["offered_qos_profiles"].startswith("- history: 1\n  depth: 10\n  reliability: 1\n")
        assert c["metadata"]["topic_type_hash"].startswith("RIHS01_") and len(c["metadata"]["topic_type_hash"]) == 71
    meta = {m["name"]: m["entries"] for m in got["metadata"]}
    yaml = meta["rosbag2"]["serialized_metadata"]
    assert "storage_identifier: mcap" in yaml and "message_count: %s" % got["statistics"]["messageCount"] in yaml
    device = meta["brova.device.ft"]
    assert device["kind"] == str(kind) and device["samples"] == str(n) and device["library version"]
    if calibrated:
        assert [a["name"] for a in got["attachments"]] == ["cal.json"]
        assert device["calibration attachment"] == "cal.json"
        assert py.attachments["cal.json"] == open(os.path.join(d, "cal.json"), "rb").read()

    code, out, err = brova("info", mcap)
    assert code == 0, err
    assert "finished: yes" in out and "/brova/ft/counts  brova_msgs/msg/Counts" in out and "check: every CRC" in out


def wait_for_size(path, size, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if os.path.exists(path) and os.path.getsize(path) >= size:
            return True
        time.sleep(0.05)
    return False


def test_a_killed_recorder_leaves_a_partial_that_readers_recover(sim, readers):
    d = work()
    mcap = os.path.join(d, "run.mcap")
    dev = sim(64, "--rate", 1000)
    p = subprocess.Popen([BROVA, "record", dev.port, "--kind", "64", "--rate", "1000", "--compression", "lz4",
                          "-o", mcap], stderr=subprocess.PIPE, text=True)
    try:
        # Chunks close at least once a second: some arrive soon.
        assert wait_for_size(mcap + ".partial", 60000), "no chunk reached the file"
    finally:
        p.kill()
        p.wait(10)
    assert not os.path.exists(mcap)
    got = readers(mcap + ".partial")
    assert not got["finished"]
    counts = [s for m in got["topics"]["/brova/pts_%s/counts" % dev.port.rsplit("/", 1)[1]]["messages"] for s in m]
    assert len(counts) > 100 and [int(s[1]) for s in counts] == list(range(len(counts)))
    assert brv.read_recording(mcap + ".partial").finished is False
    code, out, err = brova("info", mcap + ".partial")
    assert code == 0, err
    assert "finished: no" in out and "lz4" in out


def test_ctrl_c_and_sigterm_finish_the_file(sim):
    d = work()
    dev = sim(68, "--rate", 1000)
    for sig, code in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
        mcap = os.path.join(d, "run%d.mcap" % code)
        p = subprocess.Popen([BROVA, "stream", dev.port, "--kind", "68", "--output", mcap], stderr=subprocess.PIPE,
                             text=True)
        assert wait_for_size(mcap + ".partial", 2000)
        p.send_signal(sig)
        assert p.wait(20) == code, p.stderr.read()
        rec = brv.read_recording(mcap)
        assert rec.finished and len(rec.sensors) == 1 and "brova.recording" in rec.metadata


def test_a_full_disk_ends_the_run_and_keeps_the_complete_chunks(sim, readers):
    d = work()
    disk = os.path.join(d, "disk")
    os.mkdir(disk)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", disk], capture_output=True,
                             text=True)
    if mounted.returncode != 0:
        pytest.skip("a small tmpfs cannot be mounted here (%s): a full disk cannot be made" % mounted.stderr.strip())
    try:
        mcap = os.path.join(disk, "run.mcap")
        dev = sim(95, "--rate", 1000, "--noise", "200")
        code, _, err = brova("record", dev.port, "--kind", 95, "--rate", 1000, "--compression", "none",
                             "--duration", 30, "-o", mcap, timeout=60)
        assert code == 1 and "the disk is full" in err and "run.mcap.partial" in err, err
        assert not os.path.exists(mcap)
        got = readers(mcap + ".partial")
        assert not got["finished"] and len(got["topics"]["/brova/%s/wrench" % dev.port[5:].replace("/", "_")]
                                           ["messages"]) > 100
    finally:
        subprocess.run(["umount", disk])


def test_bad_options_and_files_are_refused_before_any_port_is_opened():
    d = work()
    existing = os.path.join(d, "old.mcap")
    open(existing, "w").write("keep")
    open(os.path.join(d, "left.mcap.partial"), "w").write("keep")
    nowhere = "/dev/brova-no-such-port"
    cases = [
        (("record", nowhere), 2, "needs -o FILE.mcap"),
        (("record", nowhere, "-o", d), 1, "is a directory"),
        (("record", nowhere, "-o", os.path.join(d, "no", "such", "x.mcap")), 1, "does not exist"),
        (("record", nowhere, "-o", existing), 1, "exists; give --force to replace it"),
        (("record", nowhere, "-o", os.path.join(d, "left.mcap")), 1, "left.mcap.partial: exists"),
        (("record", nowhere, "-o", os.path.join(d, "x.mcap"), "--compression", "gzip"), 2, "zstd, lz4 and none"),
        (("record", nowhere, "-o", os.path.join(d, "x.mcap"), "--name", "a", "--name", "b"), 2, "--name is given 2"),
        (("record", nowhere, "-o", os.path.join(d, "x.mcap"), "--namespace", "brova"), 2, "not a valid ROS"),
        (("stream", nowhere, "--output", os.path.join(d, "x.mcap"), "--clock", "realtime"), 2, "--clock sets"),
        (("stream", nowhere, "--output", os.path.join(d, "x.mcap"), "--on-overload", "stop"), 2, "--on-overload applies"),
        (("stream", nowhere, "--format", "mcap"), 2, "needs --output FILE"),
        (("stream", nowhere, "--compression", "lz4"), 2, "applies to recordings"),
        (("record", nowhere, "-o", os.path.join(d, "x.mcap")), 3, nowhere),  # the output is fine: the port is not
    ]
    for args, code, text in cases:
        got, out, err = brova(*args)
        assert (got, text in err) == (code, True), (args, err)
    assert open(existing).read() == "keep" and not os.path.exists(os.path.join(d, "x.mcap.partial"))


def test_info_tells_a_damaged_or_foreign_file(sim):
    d = work()
    mcap = os.path.join(d, "run.mcap")
    dev = sim(68, "--rate", 1000)
    assert brova("record", dev.port, "--kind", 68, "--count", 300, "--compression", "none", "-o", mcap)[0] == 0
    data = open(mcap, "rb").read()
    cut = os.path.join(d, "cut.mcap")
    open(cut, "wb").write(data[:len(data) * 2 // 3])
    code, out, err = brova("info", cut)
    assert code == 0 and "finished: no" in out, err  # what its complete chunks hold
    # A byte changed inside the first chunk's records: its CRC tells.
    at = 8
    while data[at] != 0x06:
        at += 9 + int.from_bytes(data[at + 1:at + 9], "little")
    at += 9 + 200
    bad = os.path.join(d, "bad.mcap")
    open(bad, "wb").write(data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:])
    code, out, err = brova("info", bad)
    assert code == 1 and "bad.mcap" in err and "CRC" in err, (out, err)
    foreign = os.path.join(d, "notes.txt")
    open(foreign, "w").write("not a recording\n")
    code, _, err = brova("info", foreign)
    assert code == 1 and "not a recording that can be read" in err


def test_flagged_samples_show_in_the_recording(sim, tmp_path):
    from brv.flags import CHANNEL_RAIL, ELEMENT_RAIL, RAIL, VECTOR_RAIL
    control, mcap = str(tmp_path / "control"), str(tmp_path / "o.mcap")
    dev = sim(68, "--rate", 1000, "--saturate", 30000, "--control", control)
    p = subprocess.Popen([BROVA, "record", dev.port, "--kind", "68", "--name", "o", "-o", mcap],
                         stderr=subprocess.PIPE, text=True)

    def flags():
        try:
            return brv.read_recording(mcap + ".partial").sensors["o"].flags.tolist()
        except (OSError, KeyError, ValueError):  # a file being written
            return []
    try:
        assert wait_for_size(mcap + ".partial", 2000) and wait_for(lambda: len(flags()) > 0, 20)
        for load, seen in (("0 0 0 40000", lambda f: any(f)), ("0 100 -50 20000", lambda f: any(f) and not f[-1])):
            with open(control, "w") as c:
                c.write("counts %s\n" % load)  # every element past 30000: at the rail; then back
            assert wait_for(lambda: seen(flags()), 20), flags()
    finally:
        p.send_signal(signal.SIGINT)
        err = p.communicate(timeout=30)[1]
    assert p.returncode == 130, err
    f = brv.read_recording(mcap).sensors["o"].flags.tolist()
    flagged = [k for k, x in enumerate(f) if x]
    assert flagged == list(range(flagged[0], flagged[-1] + 1)) and flagged[-1] < len(f) - 1
    assert {f[k] for k in flagged} == {RAIL | ELEMENT_RAIL | VECTOR_RAIL | CHANNEL_RAIL}
    assert brv.read_recording(mcap).metadata["brova.device.o"]["flagged samples"] == str(len(flagged))


def test_lowpass_records_wrench_filtered_and_bad_cut_offs_are_refused(sim, tmp_path):
    dev = sim(68, "--rate", 1000, "--log")
    mcap = str(tmp_path / "lp.mcap")
    for bad in (["--lowpass", 500], ["--lowpass", 0], ["--lowpass", "nan"], ["--lowpass", 20, "--rate", 30],
                ["--lowpass", 20, "--lowpass-order", 9], ["--lowpass-order", 2]):
        code, _, err = brova("record", dev.port, "--kind", 68, "--count", 5, "-o", mcap, *bad)
        assert code == 2 and not os.path.exists(mcap + ".partial"), (bad, err)
    assert dev.received() == "", "nothing may reach the device"
    code, _, err = brova("record", dev.port, "--kind", 68, "--count", 300, "--name", "o", "--lowpass", 20,
                         "--lowpass-order", 4, "-o", mcap)
    assert code == 0, err
    assert "low-pass 20 Hz, order 4, at 1000 per second: group delay" in err and "o/ch0/wrench_filtered" in err
    rec = brv.read_recording(mcap)
    assert rec.topics["/brova/o/ch0/wrench_filtered"] == "geometry_msgs/msg/WrenchStamped"
    assert rec.messages["/brova/o/ch0/wrench_filtered"] == rec.messages["/brova/o/ch0/wrench"] == 300
    s = rec.sensors["o"]
    # A steady load: the filter starts at it and stays there, in counts.
    assert s.filtered.shape == s.values.shape == (300, 1, 3)
    assert float(abs(s.filtered - s.values).max()) < 1e-6
