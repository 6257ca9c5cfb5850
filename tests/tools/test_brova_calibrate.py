"""brova calibrate against simulated sensors with a true calibration: loads
given on standard input while a control pipe puts the same physical load on
the simulator; the file it writes then turns a new load's counts into that
load (through brova stream --calibration); loads that leave a direction out
are refused, a load typed wrong is refused naming its step (and undo takes it
back), and a file is never replaced unasked; on a terminal, help and the wait
for a steady reading are shown."""

import csv
import io
import json
import os
import pty
import select
import subprocess
import time

import pytest

from conftest import BROVA, brova

FORCES = ["0 0 0", "40 0 0", "-40 0 0", "0 40 0", "0 -40 0", "0 0 40", "0 0 -40", "20 -25 30"]
WRENCHES = ["0 0 0 0 0 0"] + [" ".join("%g" % (s * (40 if a < 3 else 3) if a == i else 0) for a in range(6))
                              for i in range(6) for s in (1, -1)] + ["15 -20 25 1 -1.5 2"]


def calibrate(port, kind, control, steps, output, *extra):
    """Runs brova calibrate with a step per (simulator command, load line);
    returns (exit code, stdout, stderr)."""
    p = subprocess.Popen([BROVA, "calibrate", port, "--kind", str(kind), "--output", output, *extra],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines = ""
    with open(control, "w") as c:
        for command, load in steps:
            if command:
                c.write(command + "\n")
                c.flush()
                time.sleep(0.05)  # the simulator applies it from its next frame
            p.stdin.write(load + "\n")
            p.stdin.flush()
            line = p.stdout.readline()  # the step's line, once its reading is taken
            lines += line
            if not line.startswith("step"):
                break  # it ended
    out, err = p.communicate(timeout=30)
    return p.returncode, lines + out, err


@pytest.mark.parametrize("kind, command, loads, columns", [
    (68, "force", FORCES, ["x_N", "y_N", "z_N"]),
    (94, "force", FORCES, ["x_N", "y_N", "z_N"]),
    (95, "wrench", WRENCHES, ["Fx_N", "Fy_N", "Fz_N", "Tx_Nm", "Ty_Nm", "Tz_Nm"]),
])
def test_a_calibration_from_known_loads_maps_a_new_load(sim, tmp_path, kind, command, loads, columns):
    control = str(tmp_path / "control")
    s = sim(kind, "--rate", 1000, "--noise", 5, "--control", control, "--calibration-seed", 7)
    output = str(tmp_path / "cal.json")
    code, out, err = calibrate(s.port, kind, control, [(command + " " + l, l) for l in loads], output,
                               "--serial", "SN-42")
    assert code == 0, err
    assert sum(line.startswith("step ") for line in out.splitlines()) == len(loads), out
    assert "written to " + output in out, out
    assert err == ""

    # A load the fit never saw, read through the file.
    new = [12, -7, 30] if command == "force" else [12, -7, 30, 0.8, -1.2, 0.5]
    with open(control, "w") as c:
        c.write("%s %s\n" % (command, " ".join(map(str, new))))
    time.sleep(0.2)
    code, out, err = brova("stream", s.port, "--kind", kind, "--calibration", output, "--count", 300)
    assert code == 0, err
    rows = list(csv.DictReader(io.StringIO(out)))
    for channel in sorted({r["channel"] for r in rows}):
        mine = [r for r in rows if r["channel"] == channel][50:]
        for name, want in zip(columns, new):
            got = sum(float(r[name]) for r in mine) / len(mine)
            assert abs(got - want) < (0.15 if name.endswith("_N") else 0.01), (channel, name, got, want)


def test_loads_that_leave_a_direction_out_are_refused_and_no_file_is_replaced(sim, tmp_path):
    control = str(tmp_path / "control")
    s = sim(68, "--rate", 1000, "--control", control)
    output = str(tmp_path / "cal.json")
    no_y = ["0 0 0", "30 0 0", "-30 0 0", "0 0 30", "2 kg -z"]
    code, out, err = calibrate(s.port, 68, control, [("force " + " ".join(
        "%g" % v for v in ([0, 0, -2 * 9.80665] if "kg" in l else map(float, l.split()))), l) for l in no_y],
        output)
    assert code == 4 and "no load along y" in err and "nothing written" in err, err
    assert out.count("step ") == len(no_y)
    assert not os.path.exists(output)

    with open(output, "w") as f:
        f.write("mine")
    code, out, err = brova("calibrate", s.port, "--kind", 68, "--output", output, input="0 0 0\n")
    assert code == 1 and "--force" in err and out == "", err
    assert open(output).read() == "mine"
    code, out, err = brova("calibrate", s.port, "--kind", 68, "--output", output, "--force", input="1 2\n")
    assert code == 2 and "line 1" in err, err
    assert open(output).read() == "mine"


def test_a_load_typed_wrong_is_refused_naming_its_step_and_undo_takes_it_back(sim, tmp_path):
    control = str(tmp_path / "control")
    s = sim(68, "--rate", 1000, "--noise", 5, "--control", control, "--calibration-seed", 7)
    output = str(tmp_path / "cal.json")
    # Step 4 puts +40 N on y; it is typed with the wrong sign.
    steps = [("force " + l, "0 -40 0" if l == "0 40 0" else l) for l in FORCES]
    code, out, err = calibrate(s.port, 68, control, steps, output)
    assert code == 4 and not os.path.exists(output), err
    assert "step 4 (0 -40 0) disagrees with the other steps: they read it as" in err, err
    assert "nothing written" in err and "--force" in err
    read = err.split("they read it as ")[1].split(" N")[0].split()
    assert abs(float(read[1]) - 40) < 0.2, read  # what was applied
    assert all("    step %d: " % k in out for k in range(1, 9)), out  # every step's residual

    code, out, err = calibrate(s.port, 68, control, steps, output, "--force")
    assert code == 0 and "written with steps that disagree (--force)" in out, out + err

    # Typed wrong, taken back, typed again.
    steps = steps[:4] + [(None, "undo"), ("force 0 40 0", "0 40 0")] + steps[4:]
    code, out, err = calibrate(s.port, 68, control, steps, output, "--force")
    assert code == 0 and "step 4 taken back (0 -40 0)" in out and "disagree" not in out + err, out + err
    # The simulator's kind 68 tells no identification, its port has no by-id name.
    assert "lookup cannot pick this file" in out and "--calibration " + output in out, out
    cal = json.load(open(output))
    assert cal["identity"]["identification"] == ""
    given = [step["given"] for step in cal["provenance"]["steps"]]
    assert given == FORCES
    assert all(step["residualRatio"]["0"] < 10 for step in cal["provenance"]["steps"])


def test_a_channel_load_for_the_one_channel_calibrated_is_taken(sim, tmp_path):
    s = sim(94, "--rate", 1000)
    code, out, err = brova("calibrate", s.port, "--kind", 94, "--channel", 2, "--output", str(tmp_path / "c.json"),
                           input="2: 0 0 0\n")
    # Taken as a step (one step cannot make a fit), not refused as a line.
    assert "step 1: load 0.0000 0.0000 0.0000 N on channel 2;" in out, out + err
    assert code == 4 and "cannot determine" in err, err


def test_on_a_terminal_help_undo_and_the_wait_are_shown(sim, tmp_path):
    s = sim(68, "--rate", 1000, "--noise", 5)
    master, slave = pty.openpty()
    p = subprocess.Popen([BROVA, "calibrate", s.port, "--kind", "68", "--output", str(tmp_path / "c.json")],
                         stdin=slave, stdout=slave, stderr=subprocess.PIPE)
    os.close(slave)
    seen = ""

    def expect(text):
        nonlocal seen
        deadline = time.monotonic() + 15
        while text not in seen:
            assert time.monotonic() < deadline, "waited for %r; saw %r" % (text, seen)
            if select.select([master], [], [], 0.2)[0]:
                seen += os.read(master, 4096).decode(errors="replace")
        seen = seen[seen.index(text) + len(text):]

    try:
        expect("step 1 load: ")
        for typed, shown in (("?", "undo takes back the last step"), ("undo", "nothing to take back"),
                             ("0 0 0", "waiting for a steady reading"), ("", "step 1: load 0.0000 0.0000 0.0000 N"),
                             ("2kg -z", "step 2: load 0.0000 0.0000 -19.6133 N"), ("undo", "step 2 taken back (2kg -z)"),
                             ("3 lb", "a mass needs a direction"), ("done", "")):
            if typed:
                os.write(master, (typed + "\n").encode())
            expect(shown)
        assert p.wait(10) == 4  # one step: no fit
    finally:
        if p.poll() is None:
            p.kill()
        os.close(master)
