#!/usr/bin/env python3
"""Recording many six-axis sensors at 1000 samples per second: brova stream
into an MCAP recording (zstd) and into CSV, against brova stream of the same
sensors to /dev/null (no output kept): the CPU time of each (user + system,
and as a share of one core), the bytes per sample, and the samples lost (a
sample missing from the file, a read that found the reader's buffer had
dropped bytes, a checksum failure or bytes discarded).

    bench_record.py BIN_DIR [--sensors 16] [--seconds 60] [--noise 5] [--lz4]

BIN_DIR holds brova and brova-sim (an install of the build, e.g.
build/tests/stage/bin). The simulator adds --noise counts of noise to every
reading, as a real sensor has (0: every sample alike, which compresses far
better than real data). The recordings are read back with the Python
binding's reader (bindings/python, on the path)."""

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "bindings", "python"))
import brv  # noqa: E402


def cpu_of(args):
    """Runs args to the end: (CPU seconds, standard error)."""
    p = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(p.pid, 0)
    err = p.stderr.read().decode()
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        raise SystemExit("%s failed (%d): %s" % (" ".join(args[:2]), code, err))
    return usage.ru_utime + usage.ru_stime, err


def lost_in_summary(err):
    """Checksum failures, bytes discarded and reads that dropped bytes, from
    brova stream's summary line."""
    m = re.search(r"(\d+) checksum failures, (\d+) malformed frames, (\d+) bytes discarded", err)
    reads = re.search(r"(\d+) reads found the reader's buffer full", err)
    return int(m.group(1)) + int(m.group(3)) + (int(reads.group(1)) if reads else 0)


def main():
    a = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    a.add_argument("bin_dir")
    a.add_argument("--sensors", type=int, default=16)
    a.add_argument("--seconds", type=float, default=60)
    a.add_argument("--noise", type=int, default=5)
    a.add_argument("--lz4", action="store_true", help="also an MCAP recording with lz4")
    o = a.parse_args()
    count = int(1000 * o.seconds)
    total = count * o.sensors
    brova = os.path.join(o.bin_dir, "brova")
    sim_args = [os.path.join(o.bin_dir, "brova-sim"), "--kind", "95", "--rate", "1000", "--devices", str(o.sensors)]
    if o.noise:
        sim_args += ["--noise", str(o.noise)]
    work = tempfile.mkdtemp(prefix="bench_record")
    sim = subprocess.Popen(sim_args, stdout=subprocess.PIPE, text=True)
    rows = []
    try:
        ports = [sim.stdout.readline().strip() for _ in range(o.sensors)]
        common = ["stream", *ports, "--kind", "95", "--count", str(count)]
        runs = [("brova stream > /dev/null", None), ("CSV", "run.csv"), ("MCAP, zstd", "run.mcap")]
        if o.lz4:
            runs.append(("MCAP, lz4", "lz4.mcap"))
        for label, name in runs:
            args = [brova, *common]
            if name:
                args += ["--output", os.path.join(work, name)]
            if name == "lz4.mcap":
                args += ["--compression", "lz4"]
            cpu, err = cpu_of(args)
            size = os.path.getsize(os.path.join(work, name)) if name else 0
            lost = lost_in_summary(err) if not name or name.endswith(".csv") else 0
            if name and name.endswith(".csv"):
                side = json.load(open(os.path.join(work, name + ".json")))
                lines = sum(1 for _ in open(os.path.join(work, name))) - 1
                lost += total - lines + sum(d["readsLost"] for d in side["devices"])
            elif name:
                rec = brv.read_recording(os.path.join(work, name))
                got = sum(len(s.counts["sample"]) for s in rec.sensors.values())
                lost += total - got
                for s in rec.sensors.values():
                    d = s.device
                    lost += int(d["reads with bytes dropped"]) + int(d["checksum failures"]) + int(d["bytes discarded"])
                    lost += int((s.counts["sample"][1:] != s.counts["sample"][:-1] + 1).sum())
            rows.append((label, cpu, size, lost))
            if name:
                os.remove(os.path.join(work, name))
    finally:
        sim.send_signal(signal.SIGTERM)
        sim.wait()
    print("%d six-axis sensors at 1000 samples per second for %g s (%d samples), noise %d counts"
          % (o.sensors, o.seconds, total, o.noise))
    print("| output | CPU s | % of a core | CPU against no output | bytes per sample | bytes against CSV | lost |")
    print("|---|---|---|---|---|---|---|")
    base = rows[0][1]
    csv_size = rows[1][2]
    for label, cpu, size, lost in rows:
        print("| %s | %.2f | %.1f | %s | %s | %s | %d |" % (
            label, cpu, 100 * cpu / o.seconds, "%+.2f s" % (cpu - base) if label != rows[0][0] else "-",
            "%.1f" % (size / total) if size else "-", "%.0f %%" % (100.0 * size / csv_size) if size else "-", lost))


if __name__ == "__main__":
    main()
