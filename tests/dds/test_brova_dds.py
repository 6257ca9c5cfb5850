"""brova publish and brova listen, installed, against simulated sensors
(brova-sim). DDS stays on the loopback interface, or on a veth pair between
two network namespaces the test makes itself, in a domain of the test's
own."""

import importlib.util
import decimal
import json
import os
import signal
import subprocess
import tempfile
import uuid

import pytest

_spec = importlib.util.spec_from_file_location(
    "tools_conftest", os.path.join(os.path.dirname(__file__), "..", "tools", "conftest.py"))
tools = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(tools)
sim = tools.sim  # the fixture: brova-sim processes, stopped at the end
BROVA, LOAD, LOAD6, brova, wait_for = tools.BROVA, tools.LOAD, tools.LOAD6, tools.brova, tools.wait_for

DOMAIN = 100 + os.getpid() % 100
URI = ('<CycloneDDS><Domain><General><Interfaces><NetworkInterface name="%s"/></Interfaces></General>'
       '</Domain></CycloneDDS>')
LOOPBACK = dict(os.environ, CYCLONEDDS_URI=URI % "lo", ROS_DOMAIN_ID=str(DOMAIN))


def start(args, env=LOOPBACK, prefix=()):
    """brova ARGS in the background, its output to a file: (process, output file)."""
    out = tempfile.NamedTemporaryFile("w+")
    # Its own open file: the process's writes do not share our read offset.
    with open(out.name, "w") as to:
        p = subprocess.Popen([*prefix, BROVA, *map(str, args)], stdout=to, stderr=subprocess.PIPE, text=True, env=env)
    return p, out


def finish(p, timeout=30):
    _, err = p.communicate(timeout=timeout)
    return p.returncode, err


def messages(out, **parse):
    """What brova listen wrote so far (complete lines)."""
    # Read once and split here: iterating a file that grows can hand out the
    # end of a line whose start came as an incomplete last line.
    with open(out.name) as f:
        text = f.read()
    return [json.loads(line, **parse) for line in text.split("\n")[:-1]]


def exchange(sim, count, publisher_side=((), LOOPBACK), listener_side=((), LOOPBACK)):
    """A six-axis sensor and a four-channel one published (two publishers) and
    listened to: (listened messages, stream's rows of each sensor). A side is
    (command prefix, environment)."""
    six, four = sim(95, "--rate", 1000), sim(94, "--rate", 1000)
    streamed = {}
    for s, kind in ((six, 95), (four, 94)):
        code, out, err = brova("stream", s.port, "--kind", kind, "--count", 5, "--format", "jsonl")
        assert code == 0, err
        streamed[kind] = [json.loads(line) for line in out.splitlines()]
    topics = 1 + 4
    listener, out = start(["listen", "--format", "jsonl", "--count", topics * count], listener_side[1],
                          listener_side[0])
    publishers = [start(["publish", s.port, "--kind", kind, "--name", name, "--count", count, "--wait-subscribers", 1],
                        publisher_side[1], publisher_side[0])[0]
                  for s, kind, name in ((six, 95, "six"), (four, 94, "four"))]
    for p in publishers:
        code, err = finish(p)
        assert code == 0, err
        assert "%d samples from 1 port published" % count in err
    code, err = finish(listener)
    assert code == 0, err
    return messages(out), streamed


def check_exchange(got, streamed, count):
    by_topic = {}
    for m in got:
        by_topic.setdefault(m["topic"], []).append(m)
    assert sorted(by_topic) == ["/brova/four/ch%d/wrench" % c for c in range(4)] + ["/brova/six/wrench"]
    six = streamed[95][0]
    axes = ["Fx", "Fy", "Fz", "Tx", "Ty", "Tz"]
    for topic, ms in by_topic.items():
        # Every sample once and in order: as many as published, stamps
        # strictly increasing, none received before it was taken.
        assert len(ms) == count, topic
        stamps = [m["time"] for m in ms]
        assert all(a < b for a, b in zip(stamps, stamps[1:])), topic
        assert all(m["latency"] > 0 for m in ms)
        # The values are brova stream's for the same device: a six-axis
        # sensor's force and torque, a channel's force and no torque.
        if topic == "/brova/six/wrench":
            want = {tuple(six[a] for a in axes)}
            assert {m["frame_id"] for m in ms} == {"six"}
        else:
            c = int(topic.split("/ch")[1][0])
            row = next(r for r in streamed[94] if r["channel"] == c)
            want = {(row["x"], row["y"], row["z"], 0, 0, 0)}
            assert {m["frame_id"] for m in ms} == {"four_ch%d" % c}
        assert {tuple(m[a] for a in axes) for m in ms} == want, topic
    assert {tuple(six[a] for a in axes)} == {LOAD6}


def test_every_sample_arrives_once_in_order_with_streams_values(sim):
    got, streamed = exchange(sim, 300)
    check_exchange(got, streamed, 300)


def test_signals_end_both_cleanly(sim):
    s = sim(68, "--rate", 1000)
    listener, out = start(["listen", "--format", "jsonl"])
    publisher, _ = start(["publish", s.port, "--kind", 68, "--reconnect"])
    assert wait_for(lambda: len(messages(out)) >= 20), "nothing arrived"
    publisher.send_signal(signal.SIGINT)
    listener.send_signal(signal.SIGTERM)
    code, err = finish(publisher, 10)
    assert code == 130, err
    assert "published on 1 topic" in err
    code, err = finish(listener, 10)
    assert code == 143, err
    assert "messages from 1 topic" in err
    assert {m["topic"] for m in messages(out)} == {"/brova/%s/ch0/wrench" % s.port[5:].replace("/", "_")}


def test_unplug_with_reconnect_keeps_the_topic_and_reports_the_gap(sim, tmp_path):
    link = str(tmp_path / "sensor")
    first = sim(68, "--rate", 1000, "--link", link)
    listener, out = start(["listen", "--format", "jsonl", "--diagnostics"])
    publisher, _ = start(["publish", link, "--kind", 68, "--name", "s", "--reconnect"])

    def wrenches():
        return [m for m in messages(out) if m["topic"] == "/brova/s/ch0/wrench"]

    def statuses():
        return [m for m in messages(out) if m["topic"] == "/diagnostics" and m["name"] == "brova publish: s"]

    assert wait_for(lambda: wrenches() and statuses())
    assert statuses()[0]["values"]["gaps"] == "0"
    first.stop()
    assert wait_for(lambda: statuses()[-1]["level"] == 2), "the loss is not reported"
    # The gap under way is counted, as its seconds are.
    assert statuses()[-1]["values"]["gaps"] == "1" and float(statuses()[-1]["values"]["gap seconds"]) > 0
    second = sim(68, "--rate", 1000, "--link", link)
    assert wait_for(lambda: statuses()[-1]["level"] == 0, 15), "the reconnection is not reported"
    assert statuses()[-1]["values"]["gaps"] == "1"
    back = statuses()[-1]
    assert back["level"] == 0 and back["values"]["port"] == second.port
    assert float(back["values"]["last gap seconds"]) > 0
    # The same topic goes on after the gap.
    after = len(wrenches())
    assert wait_for(lambda: len(wrenches()) > after + 10)
    # Exactly, in nanoseconds: a float holds a time since the epoch to about
    # 0.2 microseconds only.
    stamps = [m["time"] for m in messages(out, parse_float=decimal.Decimal) if m["topic"] == "/brova/s/ch0/wrench"]
    assert all(a < b for a, b in zip(stamps, stamps[1:]))
    for p in (publisher, listener):
        p.send_signal(signal.SIGINT)
        code, err = finish(p, 10)
        assert code == 130, err


def test_bad_input_is_refused_with_its_exit_code(sim):
    # Before anything is opened: a port that does not exist is not looked at.
    for args in (["publish", "/dev/brv-none", "--namespace", "brova"],
                 ["publish", "/dev/brv-none", "--namespace", "/brova/"],
                 ["publish", "/dev/brv-none", "--name", "1st"],
                 ["publish", "/dev/brv-none", "--domain", "233"],
                 ["listen", "--namespace", "/a//b"],
                 ["listen", "--diagnostics"]):
        code, _, err = brova(*args, env=LOOPBACK)
        assert code == 2, (args, err)
        assert err.startswith("brova: --"), err
    code, _, err = brova("publish", "/dev/brv-none", "--kind", 95, env=LOOPBACK)
    assert (code, err.strip()) == (3, "brova: /dev/brv-none: no such port")
    s = sim(68)
    code, _, err = brova("publish", s.port, "--kind", 95, "--count", 1, env=LOOPBACK)
    assert code == 4 and "not as kind 95" in err, err
    code, _, err = brova("publish", s.port, "--kind", 68, env=dict(LOOPBACK, CYCLONEDDS_URI=URI % "brv-none0"))
    assert code == 1 and "cannot join DDS domain" in err, err


@pytest.fixture
def namespaces():
    """Two network namespaces joined by a veth pair of the test's own
    addresses; nothing else in them."""
    if os.geteuid() != 0:
        pytest.skip("making network namespaces needs root")
    tag = uuid.uuid4().hex[:6]
    a, b = "brvdds-%s-a" % tag, "brvdds-%s-b" % tag
    made = []

    def ip(*args):
        subprocess.run(["ip", *args], check=True, capture_output=True)

    try:
        for n in (a, b):
            ip("netns", "add", n)
            made.append(n)
        ip("link", "add", "brv%sa" % tag, "netns", a, "type", "veth", "peer", "name", "brv%sb" % tag, "netns", b)
        for n, side, address in ((a, "a", "10.254.77.1/30"), (b, "b", "10.254.77.2/30")):
            ip("-n", n, "addr", "add", address, "dev", "brv%s%s" % (tag, side))
            ip("-n", n, "link", "set", "brv%s%s" % (tag, side), "up")
            ip("-n", n, "link", "set", "lo", "up")
    except (subprocess.CalledProcessError, FileNotFoundError) as e:
        for n in made:
            subprocess.run(["ip", "netns", "del", n], capture_output=True)
        pytest.skip("cannot make network namespaces here: %s" % getattr(e, "stderr", e))
    yield tag, a, b
    for n in made:
        subprocess.run(["ip", "netns", "del", n], capture_output=True)


def test_publisher_and_listener_in_two_network_namespaces(sim, namespaces):
    tag, a, b = namespaces
    # Each side's DDS on its end of the veth pair only.
    env_a = dict(LOOPBACK, CYCLONEDDS_URI=URI % ("brv%sa" % tag))
    env_b = dict(LOOPBACK, CYCLONEDDS_URI=URI % ("brv%sb" % tag))
    got, streamed = exchange(sim, 200, (("ip", "netns", "exec", a), env_a), (("ip", "netns", "exec", b), env_b))
    check_exchange(got, streamed, 200)
