"""The cost of reading every sample of a four-channel device at 1000 samples
per second from Python: per-object reads (read_all) against NumPy array
reads (read_all_array), each for a few seconds, reading every 10 ms.

    BRV_LIBRARY=build/src/libBRV.so.1 python3 benchmarks/python/bench_reads.py [SECONDS] [BRV_SIM]

Prints the process's processor time (every thread: the library's reader
included) and the calling thread's as shares of one core, and the samples
(of four channels each) read per second.
"""

import os
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bindings" / "python"))
import brv  # noqa: E402


def run(dev, read, seconds):
    read()  # what waited
    samples, cpu0, own0 = 0, time.process_time(), time.thread_time()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        time.sleep(0.01)
        samples += read()
    return ((time.process_time() - cpu0) / seconds, (time.thread_time() - own0) / seconds, samples / seconds)


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 5.0
    sim = sys.argv[2] if len(sys.argv) > 2 else str(ROOT / "build" / "simulator" / "brova-sim")
    proc = subprocess.Popen([sim, "--kind", "94", "--pin-rate", "1000"], stdout=subprocess.PIPE, text=True)
    try:
        port = proc.stdout.readline().strip()
        with brv.Device(port, "94") as dev:
            paths = {
                "objects (read_all)": lambda: len(dev.read_all()[0]),
                "array (read_all_array)": lambda: len(dev.read_all_array()),
            }
            for name, read in paths.items():
                share, own, rate = run(dev, read, seconds)
                print("%-24s process %4.1f %% of one core (the calling thread %4.1f %%), %5.0f samples per second"
                      % (name, 100 * share, 100 * own, rate))
    finally:
        proc.terminate()
        proc.wait()


if __name__ == "__main__":
    main()
