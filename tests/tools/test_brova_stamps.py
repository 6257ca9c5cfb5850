"""brova's time column, sidecar and info from the library's sample stamps:
the instants the device took its samples, on the host's clocks."""

import csv
import io
import json
import os
import re
import signal
import statistics
import subprocess
import tempfile
import time

from conftest import BROVA, brova


def times_of(text):
    return [float(r["time"]) for r in csv.DictReader(io.StringIO(text))]


def test_time_column_is_the_sample_instants_on_the_chosen_clock(sim):
    dev = sim(68, "--rate", 1000)
    before = time.monotonic()
    code, out, err = brova("stream", dev.port, "--kind", 68, "--count", 1500, "--clock", "monotonic")
    after = time.monotonic()
    assert code == 0, err
    t = times_of(out)
    assert len(t) == 1500 and all(a < b for a, b in zip(t, t[1:]))
    # Steps of the device's period (not of the reads), on the host's own
    # CLOCK_MONOTONIC: within the run.
    assert abs(statistics.median(b - a for a, b in zip(t, t[1:])) - 0.001) < 0.00005
    assert before <= t[0] and t[-1] <= after, (before, t[0], t[-1], after)

    before = time.time()
    code, out, err = brova("stream", dev.port, "--kind", 68, "--count", 200, "--clock", "realtime")
    after = time.time()
    assert code == 0, err
    t = times_of(out)
    assert before - 0.01 <= t[0] and t[-1] <= after + 0.01, (before, t[0], t[-1], after)

    code, out, err = brova("stream", dev.port, "--kind", 68, "--count", 200)
    assert code == 0, err
    assert times_of(out)[0] == 0.0  # relative: from the first sample


def test_sidecar_records_the_clock_and_the_estimated_rate(sim):
    dev = sim(68, "--rate", 1000)
    target = os.path.join(tempfile.mkdtemp(prefix="brv"), "run.csv")
    before = time.monotonic()
    code, _, err = brova("stream", dev.port, "--kind", 68, "--duration", 2, "--output", target)
    assert code == 0, err
    meta = json.load(open(target + ".json"))
    assert meta["clock"] == "relative"
    assert abs(meta["realtimeOffsetNs"] / 1e9 - (time.time() - time.monotonic())) < 0.05
    assert before <= meta["originNs"] / 1e9 <= time.monotonic()  # the monotonic instant of time 0
    assert abs(meta["devices"][0]["estimatedRate"] - 1000) < 1, meta["devices"]  # 0.1 % establishes it


def test_info_ends_with_the_estimated_rate(sim):
    dev = sim(94, "--rate", 1000)
    code, out, err = brova("info", dev.port, "--kind", 94)
    assert code == 0, err
    rate = re.search(r"^estimated rate: ([\d.]+) per second \(configured 1000\)$", out, re.M)
    assert rate and abs(float(rate.group(1)) - 1000) < 1, out


def test_a_stalled_stream_keeps_its_stamps_and_rate(sim):
    """brova stream stopped for 0.5 s reads a backlog, every sample of it:
    the stamps stay at the device's true instants (its frame log) and the
    rate stays, as for the samples before the stall."""
    log = os.path.join(tempfile.mkdtemp(prefix="brv"), "truth.txt")
    target = os.path.join(os.path.dirname(log), "run.csv")
    dev = sim(68, "--rate", 1000, "--aux-sequence", "--packet", 62, "--latency-timer", 1, "--frame-log", log)
    p = subprocess.Popen([BROVA, "stream", dev.port, "--kind", "68", "--clock", "monotonic", "--duration", "4",
                          "--output", target], stderr=subprocess.PIPE, text=True)
    time.sleep(2)
    p.send_signal(signal.SIGSTOP)
    time.sleep(0.5)
    p.send_signal(signal.SIGCONT)
    assert p.wait(30) == 0, p.stderr.read()
    dev.stop()
    taken = {}
    for line in open(log):
        number, at, _, _, _ = line.split()
        taken[int(number)] = int(at)
    rows = list(csv.DictReader(open(target)))
    assert len(rows) > 3000
    for r in rows:
        t = round(float(r["time"]) * 1e9)
        truth = taken[int(r["aux"]) & 0xFFFF]
        # Never before the true instant (less 50 us of the period's error);
        # later by no more than a bridge holds a frame.
        assert truth - 50000 <= t <= truth + 20000000, (r["sample"], (t - truth) / 1e6)
    assert abs(json.load(open(target + ".json"))["devices"][0]["estimatedRate"] - 1000) < 1
