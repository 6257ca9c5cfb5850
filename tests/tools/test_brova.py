"""brova as a user runs it: listing, streaming every kind family, tare, rate,
errors with their exit codes, Ctrl-C, reconnecting, capture and replay."""

import csv
import io
import json
import os
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import time

import pytest

from conftest import BROVA, LOAD, LOAD6, brova, wait_for

THREE_AXIS = ["x", "y", "z"] + ["s%d" % i for i in range(1, 9)] + ["aux"]
SIX_AXIS = ["Fx", "Fy", "Fz", "Tx", "Ty", "Tz"]


def csv_rows(text):
    """The rows, checked for the time column's promise: in time order, each
    port's samples strictly increasing, the channels of a sample at its time."""
    rows = list(csv.DictReader(io.StringIO(text)))
    times = [float(r["time"]) for r in rows]
    assert times == sorted(times), "rows must be in time order"
    samples = {}
    for r in rows:
        samples.setdefault(r.get("port"), {}).setdefault(int(r["sample"]), set()).add(r["time"])
    for port in samples.values():
        assert all(len(t) == 1 for t in port.values()), "the channels of a sample share its time"
        per_sample = [float(next(iter(port[n]))) for n in sorted(port)]
        assert all(a < b for a, b in zip(per_sample, per_sample[1:])), "a port's samples must strictly increase"
    return rows


def read_lines(stream, want, seconds=10):
    """Lines of a process's output stream until one satisfies want."""
    got, deadline = [], time.monotonic() + seconds
    while time.monotonic() < deadline:
        if select.select([stream], [], [], 0.1)[0]:
            line = stream.readline()
            if not line:
                break
            got.append(line)
            if want(line):
                return got
    pytest.fail("no matching line in %r" % got)


def test_list_and_watch_follow_a_plug_and_unplug(sim):
    link = os.path.join(tempfile.mkdtemp(prefix="brv"), "s0")
    watch = subprocess.Popen([BROVA, "list", "--watch", "--json", "--port", link],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        time.sleep(0.5)
        dev = sim(34, "--link", link, "--ident", "DESK001")
        plugged = json.loads(read_lines(watch.stdout, lambda l: "plugged" in l)[-1])
        assert (plugged["event"], plugged["port"], plugged["kind"], plugged["id"]) == \
            ("plugged", link, "34 v0.9", "DESK001")
        assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d", plugged["time"]), plugged
        code, out, _ = brova("list", "--json", "--port", link)
        assert code == 0 and json.loads(out) == [{"port": link, "kind": "34 v0.9", "id": "DESK001"}]
        dev.stop()
        lost = json.loads(read_lines(watch.stdout, lambda l: "unplugged" in l)[-1])
        assert (lost["event"], lost["port"]) == ("unplugged", link)
        watch.send_signal(signal.SIGINT)
        assert watch.wait(10) == 130
    finally:
        watch.kill()


@pytest.mark.parametrize("kind, extra", [(68, []), (34, []), (64, []), (95, ["--format", "jsonl"]),
                                         (94, ["--six-axis", "--format", "jsonl"])])
def test_stream_every_family(sim, kind, extra):
    dev = sim(kind, "--pin-rate", 1000)
    code, out, err = brova("stream", dev.port, "--kind", kind, "--count", 25, *extra)
    assert code == 0, err
    six = kind in (64, 95) or "--six-axis" in extra
    channels = 1 if kind in (68, 31) or six else 4
    if "jsonl" in extra:
        rows = [json.loads(line) for line in out.splitlines()]
        assert [r["time"] for r in rows] == sorted({r["time"] for r in rows})
    else:
        rows = csv_rows(out)
        assert list(rows[0]) == ["time", "sample", "channel", "state"] + (SIX_AXIS if six else THREE_AXIS) + ["flags"]
    assert len(rows) == 25 * channels
    assert [int(r["sample"]) for r in rows[::channels]] == list(range(25))
    for r in rows:
        assert int(r["state"]) == 5
        if kind == 94:  # force: mean of x, y; z sum / 16; torque from the channels' z and x, y
            x = [LOAD[c][0] for c in range(4)]
            assert int(r["Fx"]) == sum(x) // 4 and int(r["Fz"]) == sum(LOAD[c][2] for c in range(4)) // 16
        elif six:
            assert tuple(int(r[n]) for n in SIX_AXIS) == LOAD6
        else:
            assert tuple(int(r[n]) for n in "xyz") == LOAD[int(r["channel"])]


def test_info_tells_the_rate_a_device_keeps(sim):
    """The rate is estimated from the samples, whatever the device was told,
    and a device more than 1 % off its configured rate is said to be."""
    for pace, said in ((None, None), (970, "3.0 % below the configured rate")):
        dev = sim(68, "--rate", 1000, *(("--pin-rate", pace) if pace else ()))
        code, out, err = brova("info", dev.port, "--kind", 68)
        assert code == 0, err
        m = re.search(r"^estimated rate: ([0-9.]+) per second \(configured 1000\)(: .*)?$", out, re.M)
        assert m and abs(float(m.group(1)) / (pace or 1000) - 1) < 1e-3, out
        assert (m.group(2) or None) == (said and ": " + said), out
        # A stream says it once, on standard error.
        code, _, err = brova("stream", dev.port, "--kind", 68, "--duration", 3)
        told = re.findall(r"the device sends ([0-9.]+) samples per second, (-?[0-9.]+) % off the 1000", err)
        assert code == 0 and len(told) == (1 if pace else 0), err
        assert not pace or abs(float(told[0][0]) - pace) < 1, err


def test_several_ports_stream_into_one_output(sim):
    three, six = sim(68, "--pin-rate", 500), sim(95, "--pin-rate", 500)
    code, out, err = brova("stream", three.port, six.port, "--kind", 68, "--count", 20)
    assert code == 4 and "answered as kind 95" in err  # --kind names every port's kind
    code, out, err = brova("stream", "--format", "csv", "--count", 20, three.port, six.port)
    assert code == 0, err
    rows = csv_rows(out)
    assert list(rows[0]) == ["time", "port", "sample", "channel", "state"] + THREE_AXIS + SIX_AXIS + ["flags"]
    by_port = {p: [r for r in rows if r["port"] == p] for p in (three.port, six.port)}
    assert [len(v) for v in by_port.values()] == [20, 20]
    assert all(r["Fx"] == "" and int(r["x"]) == LOAD[0][0] for r in by_port[three.port])
    assert all(r["x"] == "" and int(r["Fx"]) == LOAD6[0] for r in by_port[six.port])

    # --kind once per port, in the ports' order; a count that fits neither form is refused.
    code, out, err = brova("stream", three.port, six.port, "--kind", 68, "--kind", 95, "--count", 5)
    assert code == 0 and len(csv_rows(out)) == 10, err
    code, _, err = brova("stream", three.port, six.port, "--kind", 68, "--kind", 95, "--kind", 68)
    assert code == 2 and "given 3 times for 2 ports" in err
    code, _, err = brova("stream", three.port, six.port, "--kind", 68, "--kind", 94, "--count", 5)
    assert code == 4 and six.port in err and "answered as kind 95" in err and "not as kind 94" in err, err


def test_six_axis_reads_the_four_channel_ports_beside_six_axis_sensors(sim):
    box, six, three = sim(94, "--pin-rate", 500), sim(95, "--pin-rate", 500), sim(68, "--pin-rate", 500)
    code, out, err = brova("stream", box.port, six.port, "--six-axis", "--count", 5)
    assert code == 0, err
    rows = csv_rows(out)
    assert len(rows) == 10 and list(rows[0])[-7:] == SIX_AXIS + ["flags"] and "x" not in rows[0]
    assert {r["port"] for r in rows} == {box.port, six.port} and all(r["Fx"] != "" for r in rows)
    code, _, err = brova("stream", six.port, three.port, "--six-axis", "--count", 5)
    assert code == 2 and "none of the ports is one" in err


def test_tare_rate_and_configuration(sim):
    dev = sim(68, "--rate", 100)
    code, out, err = brova("stream", dev.port, "--kind", 68, "--tare", "--count", 10)
    assert code == 0, err
    assert all(int(r["x"]) == int(r["y"]) == int(r["z"]) == 0 for r in csv_rows(out))
    # A rate the device confirms, and the frames then come at that rate.
    counts = {}
    for rate in (30, 1000):
        code, out, err = brova("stream", dev.port, "--kind", 68, "--rate", rate, "--duration", 1)
        assert code == 0, err
        counts[rate] = len(out.splitlines()) - 1
    assert counts[30] < 100 < 300 < counts[1000], counts
    code, out, _ = brova("config", dev.port, "--kind", 68, "--rate", 333, "--filter", 50)
    assert code == 0 and "confirmed rate 333 per second, filter 50 Hz" in out
    code, out, _ = brova("info", dev.port, "--kind", 68)
    assert code == 0 and "rate: 333 per second" in out and "filter: 50 Hz" in out
    # An output that cannot be written fails before the device is touched,
    # and a capture whose writes fail says so.
    code, _, err = brova("stream", dev.port, "--kind", 68, "--rate", 30, "--output", "/nonexistent/s.csv")
    assert code == 1 and "cannot write" in err
    assert "rate: 333 per second" in brova("info", dev.port, "--kind", 68)[1]
    code, _, err = brova("capture", dev.port, "/dev/full", "--kind", 68, "--duration", 0.2)
    assert code == 1 and "cannot write the capture file" in err
    # A framed sensor: a mode it cannot take is refused before anything is
    # sent, and what it takes lasts until the next open, as it is told.
    framed = sim(31, "--log")
    code, _, err = brova("config", framed.port, "--kind", 31, "--rate", 1000, "--mode", "vector")
    assert code == 4 and "framed sensors keep" in err
    assert "AA 00 32 02" not in framed.received()  # no configuration write
    code, _, err = brova("config", framed.port, "--kind", 31, "--rate", 1000)
    assert code == 0 and "until the next open" in err and "AA 00 32 02 01" in framed.received()


def test_an_output_that_is_not_a_file_is_refused_before_streaming(sim):
    dev = sim(68, "--log")
    folder = tempfile.mkdtemp(prefix="brv")
    code, out, err = brova("stream", dev.port, "--kind", 68, "--count", 10, "--output", folder)
    assert code == 1 and "is a directory" in err and "samples from" not in err
    assert not os.path.exists(folder + ".partial") and dev.received() == ""  # nothing was opened
    code, out, err = brova("stream", dev.port, "--kind", 68, "--count", 10, "--output", "")
    assert code == 2 and out == ""


def test_tare_drops_the_samples_from_before_the_zero(sim):
    dev = sim(68, "--rate", 1000, "--aux-sequence")  # aux: frame number, so tared aux: frames after the zero
    code, out, err = brova("stream", dev.port, "--kind", 68, "--tare", "--count", 50)
    assert code == 0, err
    aux = [int(r["aux"]) for r in csv_rows(out)]
    assert aux[0] > 0 and aux == list(range(aux[0], aux[0] + 50)), aux


def test_errors_say_why_with_their_exit_codes(sim):
    assert brova("stream", "/dev/brv-none", "--rate", 250)[0] == 2  # refused before any open
    for bad in (["--filter", 7], ["--kind", 12], ["--format", "xml"], ["--count", 0], ["--clock", "utc"],
                ["--duration", "nan"], ["--duration", "inf"], ["--duration", "-inf"]):
        code, _, err = brova("stream", "/dev/brv-none", *bad)
        assert code == 2 and "--" in err, (bad, err)
    code, _, err = brova("stream", "/dev/brv-none", "--kind", 68)
    assert code == 3 and "no such port" in err

    code, _, err = brova("list", "--port", "/dev/brv-none")
    assert code == 3 and "no such port" in err
    code, out, err = brova("list")  # no USB bridge on a test machine
    assert code == 0 and out == "" and "no sensor found" in err

    # A port with nothing behind it, and a device of another kind.
    master, slave = pty.openpty()
    try:
        silent = os.ttyname(slave)
        code, _, err = brova("info", silent, "--kind", 68)
        assert code == 4 and "nothing answered" in err
        code, out, err = brova("list", "--port", silent)
        assert code == 4 and "nothing answered" in err and out == ""
        capture = os.path.join(tempfile.mkdtemp(prefix="brv"), "c.brv")
        code, _, err = brova("capture", silent, capture, "--kind", 68, "--duration", 0.3)
        assert code == 4 and "nothing arrived" in err
    finally:
        os.close(master), os.close(slave)
    other = sim(94)
    code, _, err = brova("info", other.port, "--kind", 68)
    assert code == 4 and "answered as kind 94" in err

    # Busy (a second brova while one streams), and permission denied.
    unprivileged = Unprivileged()
    os.chmod(other.port, 0o666)
    streaming = subprocess.Popen([BROVA, "stream", other.port, "--kind", "94"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        time.sleep(1.0)
        code, _, err = unprivileged.brova("info", other.port, "--kind", 94)
        assert code == 3 and "busy" in err
    finally:
        streaming.terminate()
        assert streaming.wait(10) == 143
    os.chmod(other.port, 0o000)
    code, _, err = unprivileged.brova("info", other.port, "--kind", 94)
    assert code == 3 and "permission denied" in err and "dialout" in err


class Unprivileged:
    """brova run by a user that the port's permissions and exclusive opens
    apply to: this user, or nobody when the tests run as root (root opens
    any port). nobody runs a copy of the installed programs that it can
    reach."""

    def __init__(self):
        self.program, self.setup = BROVA, None
        if os.geteuid() == 0:
            prefix = os.path.dirname(os.path.dirname(BROVA))
            copy = os.path.join(tempfile.mkdtemp(prefix="brv"), "prefix")
            shutil.copytree(prefix, copy, symlinks=True)
            for root, dirs, files in os.walk(os.path.dirname(copy)):
                for name in dirs + files:
                    os.chmod(os.path.join(root, name), 0o755, follow_symlinks=False) \
                        if not os.path.islink(os.path.join(root, name)) else None
                os.chmod(root, 0o755)
            self.program = os.path.join(copy, "bin", os.path.basename(BROVA))
            self.setup = lambda: (os.setgroups([]), os.setgid(65534), os.setuid(65534))

    def brova(self, *args):
        p = subprocess.run([self.program, *map(str, args)], capture_output=True, text=True, timeout=30,
                           preexec_fn=self.setup)
        return p.returncode, p.stdout, p.stderr


def test_interrupt_reconnect_and_output_files(sim):
    out_dir = tempfile.mkdtemp(prefix="brv")
    link = os.path.join(out_dir, "s0")
    dev = sim(94, "--pin-rate", 500, "--link", link)
    target = os.path.join(out_dir, "run.csv")
    proc = subprocess.Popen([BROVA, "stream", link, "--kind", "94", "--reconnect", "--output", target],
                            stderr=subprocess.PIPE, text=True)
    time.sleep(1.0)
    back = sim(94, "--pin-rate", 500)  # its node exists before the first is gone: another path
    dev.stop()  # unplugged (its link goes with it)
    time.sleep(0.8)
    os.symlink(back.port, link)  # plugged back, the link leading to the new node
    assert wait_for(lambda: os.path.getsize(target + ".partial") > 0)
    time.sleep(1.0)
    proc.send_signal(signal.SIGINT)
    assert proc.wait(15) == 130
    err = proc.stderr.read()
    assert "reopened as %s after a gap" % back.port in err and "samples from 1 port" in err
    assert not os.path.exists(target + ".partial")
    with open(target) as f:
        text = f.read()
    assert text.endswith("\n")
    rows = csv_rows(text)
    assert all(None not in r.values() and "" not in r.values() for r in rows)  # every line complete
    meta = json.load(open(target + ".json"))
    assert meta["interrupted"] and len(meta["gaps"]) == 1 and meta["devices"][0]["kind"] == 94
    assert meta["gaps"][0]["port"] == meta["devices"][0]["port"] == back.port
    assert meta["devices"][0]["samples"] * 4 == len(rows)


def test_capture_and_replay_give_the_same_samples(sim):
    work = tempfile.mkdtemp(prefix="brv")
    capture = os.path.join(work, "cap.brv")
    dev = sim(68, "--rate", 1000, "--aux-sequence")
    code, _, err = brova("capture", dev.port, capture, "--kind", 68, "--duration", 0.5)
    assert code == 0, err
    dev.stop()
    # The frames in the file, read straight from its documented layout.
    data = open(capture, "rb").read()
    assert data[:8] == b"BRVCAP1\n"
    header_end = data.index(b"\n", 8)
    assert json.loads(data[8:header_end])["kind"] == 68
    stream, at = b"", header_end + 1
    while at + 12 <= len(data):
        _, n = struct.unpack_from("<QI", data, at)
        stream += data[at + 12:at + 12 + n]
        at += 12 + n
    numbers = [int.from_bytes(stream[i + 9:i + 11], "big")
               for i in range(0, len(stream) - 28, 29) if stream[i:i + 2] == b"\x37\x44"]
    assert len(numbers) > 100
    replay = sim(68, "--replay", capture)
    code, out, err = brova("stream", replay.port, "--kind", 68, "--count", len(numbers))
    assert code == 0, err
    assert [int(r["aux"]) for r in csv_rows(out)] == numbers


def test_healthy_ports_stream_on_while_another_is_reopened(sim):
    work = tempfile.mkdtemp(prefix="brv")
    target = os.path.join(work, "two.csv")
    stopped, healthy = sim(68, "--aux-sequence"), sim(34, "--aux-sequence")
    proc = subprocess.Popen([BROVA, "stream", stopped.port, healthy.port, "--rate", "1000", "--reconnect",
                             "--output", target], stderr=subprocess.PIPE, text=True)
    try:
        assert wait_for(lambda: os.path.exists(target + ".partial") and os.path.getsize(target + ".partial") > 0)
        stopped.proc.send_signal(signal.SIGSTOP)  # silent: lost after 550 ms, reopening fails (1 s each)
        read_lines(proc.stderr, lambda l: "lost" in l)
        time.sleep(2.5)
        stopped.proc.send_signal(signal.SIGCONT)
        read_lines(proc.stderr, lambda l: "reopened" in l)
        proc.send_signal(signal.SIGINT)
        assert proc.wait(15) == 130
    finally:
        stopped.proc.send_signal(signal.SIGCONT)
        proc.kill()
    rows = [r for r in csv_rows(open(target).read()) if r["port"] == healthy.port and r["channel"] == "0"]
    frames = [int(r["aux"]) for r in rows]
    assert len(frames) > 1000
    assert all((b - a) % 65536 == 1 for a, b in zip(frames, frames[1:])), "frames lost on the healthy port"
    meta = json.load(open(target + ".json"))
    assert [g["port"] for g in meta["gaps"]] == [stopped.port]
    device = [d for d in meta["devices"] if d["port"] == healthy.port][0]
    assert device["bytesDiscarded"] == device["readsLost"] == 0, device
