"""Which device answers on a port, and who holds it: brova confirms a framed
kind it is given, refuses a port that another reader holds (root included),
and ends on a signal with the signal's code even while its output blocks."""

import fcntl
import select
import signal
import subprocess
import time

import pytest

from conftest import BROVA, brova


@pytest.mark.parametrize("device, given", [(31, 34), (31, 64), (64, 31)])
def test_a_framed_device_read_as_another_framed_kind_is_refused(sim, device, given):
    s = sim(device)
    code, out, err = brova("stream", s.port, "--kind", given, "--count", 2)
    assert code == 4 and "another kind answered" in err and "kind %d" % device in err, err
    assert out == ""
    code, out, err = brova("stream", s.port, "--kind", device, "--count", 2)
    assert code == 0 and len(out.splitlines()) >= 3, err


def test_a_second_reader_is_refused_for_root_too(sim):
    # The tests run as root here and in CI: root passes the port's
    # exclusive-use mode, and Qt takes its lock file as stale after 30 s.
    s = sim(68)
    first = subprocess.Popen([BROVA, "stream", s.port, "--kind", "68"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
    try:
        assert select.select([first.stdout], [], [], 10)[0] and first.stdout.readline().startswith("time"), \
            "the first reader streams"
        for kind in (["--kind", "68"], []):
            code, out, err = brova("stream", s.port, *kind, "--count", 5)
            assert code == 3 and "busy" in err and "process %d" % first.pid in err, (kind, err)
    finally:
        first.terminate()
        assert first.wait(10) == 143


def test_a_signal_while_the_output_blocks_ends_with_its_code(sim):
    s = sim(68)
    p = subprocess.Popen([BROVA, "stream", s.port, "--kind", "68", "--rate", "1000"], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    fcntl.fcntl(p.stdout.fileno(), 1031, 4096)  # F_SETPIPE_SZ: the pipe fills at once
    time.sleep(2.0)  # nobody reads: brova blocks in its write
    p.send_signal(signal.SIGTERM)
    time.sleep(0.5)
    out, err = p.communicate(timeout=20)
    assert p.returncode == 143, err
    assert "cannot write" not in err
    assert out.startswith("time,") and len(out.splitlines()) > 10
