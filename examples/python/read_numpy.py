#!/usr/bin/env python3
"""Reads a three-axis or four-channel sensor into NumPy arrays, with the
instant of every sample and, given a calibration file, forces in newtons;
saves them to a .npz file, and plots them when Matplotlib is installed.

Usage: read_numpy.py PORT KIND [--seconds S] [--calibration FILE] [--output FILE.npz]
"""
import argparse
import time

import numpy as np

import brv
from brv.arrays import array_fields

parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
parser.add_argument("port", help="the sensor's port, such as /dev/ttyUSB0")
parser.add_argument("kind", help="its kind code: 68, 94, 31 or 34 (`brova list` tells it)")
parser.add_argument("--seconds", type=float, default=2.0)
parser.add_argument("--calibration", help="a calibration file: values in N beside the counts")
parser.add_argument("--output", default="samples.npz")
args = parser.parse_args()

# A file that cannot be read or is not valid raises brv.CalibrationError,
# whose text names the file and the field at fault.
cal = brv.Calibration(args.calibration) if args.calibration else None

times, counts, forces = [], [], []
with brv.Device(args.port, args.kind) as dev:   # closed at the end of the block
    dev.configure(rate=1000, filter_hz=50)
    dev.tare()                                  # every channel
    end = time.monotonic() + args.seconds
    while time.monotonic() < end:
        time.sleep(0.05)
        # t: one instant per row, seconds on time.monotonic()'s clock;
        # rows: a row per sample, the columns of array_fields(channels).
        t, rows = dev.read_all_array(with_time=True)
        times.append(t)
        counts.append(rows)
        if cal is not None:
            # The tare already stands for the zero load: leave the bias out.
            forces.append(cal.apply_forces(rows, tared=True))
    columns = array_fields(dev.sensor_count)
    rate = dev.estimated_rate

t = np.concatenate(times)
t -= t[0]                                        # seconds since the first sample
data = {"time": t, "counts": np.concatenate(counts), "columns": np.array(columns)}
if forces:
    data["newtons"] = np.concatenate(forces)
np.savez(args.output, **data)
print("%d samples at %.1f per second saved to %s" % (len(t), rate, args.output))

try:
    import matplotlib
    matplotlib.use("Agg")                        # no display needed
    import matplotlib.pyplot as plt
except ImportError:
    print("Matplotlib is not installed: no plot")
else:
    values, unit = (data["newtons"][:, :3], "N") if forces else (data["counts"][:, :3], "counts")
    plt.plot(t, values, label=["x", "y", "z"])
    plt.xlabel("time (s)"), plt.ylabel(unit), plt.legend()
    plt.savefig(args.output[:-4] + ".png")
    print("plot saved to %s" % (args.output[:-4] + ".png"))
