"""brova's time column, sidecar and info from the library's sample stamps:
the instants the device took its samples, on the host's clocks."""

import csv
import io
import json
import os
import re
import statistics
import tempfile
import time

from conftest import brova


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
    assert abs(meta["devices"][0]["estimatedRate"] - 1000) < 10, meta["devices"]


def test_info_ends_with_the_estimated_rate(sim):
    dev = sim(94, "--rate", 1000)
    code, out, err = brova("info", dev.port, "--kind", 94)
    assert code == 0, err
    rate = re.search(r"^estimated rate: ([\d.]+) per second \(configured 1000\)$", out, re.M)
    assert rate and abs(float(rate.group(1)) - 1000) < 20, out
