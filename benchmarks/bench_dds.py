#!/usr/bin/env python3
"""brova publish with many sensors at 1000 samples per second, published
reliably to brova listen on the loopback interface: samples lost, latency
from the sample's instant to its receipt (p50, p99), and the CPU time of
brova publish against brova stream of the same sensors to /dev/null.

    bench_dds.py BIN_DIR [--sensors 4,16] [--seconds 5]

BIN_DIR holds brova, brova-publish, brova-listen and brova-sim (an install
of the build, e.g. build/tests/stage/bin)."""

import argparse
import json
import os
import signal
import subprocess
import tempfile

URI = ('<CycloneDDS><Domain><General><Interfaces><NetworkInterface name="lo"/></Interfaces></General>'
       '</Domain></CycloneDDS>')


def cpu_of(args, env=None):
    """Runs args to the end: (CPU seconds, user + system, exit code)."""
    p = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    _, status, usage = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    err = p.stderr.read().decode()
    if p.returncode != 0:
        raise SystemExit("%s failed (%d): %s" % (args[0], p.returncode, err))
    return usage.ru_utime + usage.ru_stime


def percentile(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))]


def run(bin_dir, sensors, seconds):
    count = int(1000 * seconds)
    sim = subprocess.Popen([os.path.join(bin_dir, "brova-sim"), "--kind", "95", "--rate", "1000",
                            "--devices", str(sensors)], stdout=subprocess.PIPE, text=True)
    try:
        ports = [sim.stdout.readline().strip() for _ in range(sensors)]
        brova = os.path.join(bin_dir, "brova")
        common = [*ports, "--kind", "95", "--count", str(count)]
        stream_cpu = cpu_of([brova, "stream", *common])
        env = dict(os.environ, CYCLONEDDS_URI=URI, ROS_DOMAIN_ID=str(150 + os.getpid() % 50))
        with tempfile.NamedTemporaryFile("w+") as out:
            listener = subprocess.Popen([brova, "listen", "--format", "jsonl", "--duration", str(seconds + 20),
                                         "--count", str(count * sensors)],
                                        stdout=open(out.name, "w"), stderr=subprocess.DEVNULL, env=env)
            publish_cpu = cpu_of([brova, "publish", *common, "--wait-subscribers", "1"], env)
            listener.wait(seconds + 30)
            got = [json.loads(line) for line in open(out.name)]
    finally:
        sim.send_signal(signal.SIGTERM)
        sim.wait()
    latency = [m["latency"] * 1000 for m in got]
    transit = [m["transit"] * 1000 for m in got]
    return {
        "sensors": sensors,
        "published": count * sensors,
        "lost": count * sensors - len(got),
        "latency p50 ms": percentile(latency, 0.5),
        "latency p99 ms": percentile(latency, 0.99),
        "transit p50 ms": percentile(transit, 0.5),
        "transit p99 ms": percentile(transit, 0.99),
        "publish CPU %": 100 * publish_cpu / seconds,
        "stream CPU %": 100 * stream_cpu / seconds,
    }


def main():
    a = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    a.add_argument("bin_dir")
    a.add_argument("--sensors", default="4,16")
    a.add_argument("--seconds", type=float, default=5)
    args = a.parse_args()
    rows = [run(args.bin_dir, int(n), args.seconds) for n in args.sensors.split(",")]
    keys = list(rows[0])
    print("| " + " | ".join(keys) + " |")
    print("|" + "---|" * len(keys))
    for r in rows:
        print("| " + " | ".join(("%.2f" % v if isinstance(v, float) else str(v)) for v in r.values()) + " |")


if __name__ == "__main__":
    main()
