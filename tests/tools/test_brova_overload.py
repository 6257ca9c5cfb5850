"""brova stream against a simulator that saturates (--saturate): the flags
column, the overload told when it starts and ends with its count (warn), and
the run ended at the first flagged sample (stop, exit 4). The low-pass
filter's columns, and cut-offs refused before anything is sent."""

import csv
import io
import json
import signal
import subprocess

from conftest import BROVA, LOAD, brova
from test_brova import read_lines

RAIL, ELEMENT, VECTOR = 1, 4, 8


def channel_rail(c):
    return 0x100 << c


def start_stream(port, kind, *extra):
    return subprocess.Popen([BROVA, "stream", port, "--kind", str(kind), *map(str, extra)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def sample_flags(lines):
    """flags of each sample (all its rows), from CSV lines with a header."""
    by_sample = {}
    for r in csv.DictReader(io.StringIO("".join(lines))):
        by_sample[int(r["sample"])] = by_sample.get(int(r["sample"]), 0) | int(r["flags"])
    return [by_sample[k] for k in sorted(by_sample)]


def test_warn_tells_the_overload_when_it_starts_and_ends(sim, tmp_path):
    control = str(tmp_path / "control")
    s = sim(68, "--rate", 1000, "--saturate", 30000, "--control", control)
    p = start_stream(s.port, 68)
    try:
        lines = read_lines(p.stdout, lambda l: l.count(",") > 5 and not l.startswith("time"))
        assert lines[0].rstrip().endswith(",flags")
        with open(control, "w") as c:
            c.write("counts 0 0 0 40000\n")  # every element past 30000: at the rail
        lines += read_lines(p.stdout, lambda l: not l.rstrip().endswith(",0"))
        with open(control, "w") as c:
            c.write("counts 0 100 -50 20000\n")
        lines += read_lines(p.stdout, lambda l: l.rstrip().endswith(",0"))
    finally:
        p.send_signal(signal.SIGINT)
        rest, err = p.communicate(timeout=30)
    flags = sample_flags(lines + rest.splitlines(keepends=True))
    flagged = [k for k, f in enumerate(flags) if f]
    assert flagged and flagged == list(range(flagged[0], flagged[-1] + 1)), "one overload, its samples together"
    assert all(flags[k] == RAIL | ELEMENT | VECTOR | channel_rail(0) for k in flagged)
    assert "overload from sample %d: rail" % flagged[0] in err, err
    assert "overload ended at sample %d: %d samples flagged (rail)" % (flagged[-1] + 1, len(flagged)) in err, err
    assert "flagged samples %d" % len(flagged) in err, err
    assert err.count("overload from") == 1


def test_stop_ends_at_the_first_flagged_sample_with_exit_4(sim, tmp_path):
    control = str(tmp_path / "control")
    out = str(tmp_path / "run.csv")
    s = sim(34, "--saturate", 30000, "--control", control)
    p = start_stream(s.port, 34, "--on-overload", "stop", "--output", out, "--format", "csv")
    with open(control, "w") as c:
        c.write("counts 2 0 0 40000\n")  # channel 2 only
    _, err = p.communicate(timeout=60)
    assert p.returncode == 4, err
    assert "overload at sample" in err and "stopped (--on-overload stop)" in err, err
    flags = sample_flags(open(out).readlines())
    assert flags[-1] == RAIL | ELEMENT | VECTOR | channel_rail(2), flags
    assert not any(flags[:-1])
    device = json.load(open(out + ".json"))["devices"][0]
    assert device["flagged"] == 1 and device["samples"] == len(flags)


def test_lowpass_columns_and_bad_cut_offs_refused_before_anything_is_sent(sim):
    s = sim(68, "--rate", 1000, "--log")
    for bad in (["--lowpass", 500], ["--lowpass", 0], ["--lowpass", -3], ["--lowpass", "nan"],
                ["--lowpass", 20, "--lowpass-order", 9], ["--lowpass", 20, "--rate", 30],
                ["--lowpass-order", 2]):
        code, out, err = brova("stream", s.port, "--kind", 68, "--count", 5, *bad)
        assert code == 2 and out == "", (bad, err)
    assert s.received() == "", "nothing may reach the device"
    code, out, err = brova("stream", s.port, "--kind", 68, "--count", 50, "--lowpass", 20, "--lowpass-order", 4)
    assert code == 0, err
    assert "low-pass 20 Hz, order 4, at 1000 per second: group delay" in err
    rows = list(csv.DictReader(io.StringIO(out)))
    assert list(rows[0])[-4:] == ["x_lp", "y_lp", "z_lp", "flags"]
    # A steady load: the filter starts at it and stays there.
    for r in rows:
        assert [float(r[a + "_lp"]) for a in "xyz"] == [float(v) for v in LOAD[0]]
