"""brova publish and brova listen, installed, against simulated sensors
(brova-sim) and a peer of the tests' own (ddspeer). DDS stays on the
loopback interface, or on a veth pair between two network namespaces the
test makes itself, in a domain of the test's own. Whatever a test starts,
it ends, failed or not."""

import csv
import decimal
import hashlib
import importlib.util
import io
import json
import os
import re
import signal
import subprocess
import tempfile
import time
import uuid

import pytest

_spec = importlib.util.spec_from_file_location(
    "tools_conftest", os.path.join(os.path.dirname(__file__), "..", "tools", "conftest.py"))
tools = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(tools)
sim = tools.sim  # the fixture: brova-sim processes, stopped at the end
BROVA, LOAD, LOAD6, brova, wait_for = tools.BROVA, tools.LOAD, tools.LOAD6, tools.brova, tools.wait_for

PEER = os.environ.get("DDSPEER", "ddspeer")
DOMAIN = 100 + os.getpid() % 100
URI = ('<CycloneDDS><Domain><General><Interfaces><NetworkInterface name="%s"/></Interfaces></General>'
       '</Domain></CycloneDDS>')
LOOPBACK = dict(os.environ, CYCLONEDDS_URI=URI % "lo", ROS_DOMAIN_ID=str(DOMAIN))


@pytest.fixture
def start():
    """start(ARGS): brova ARGS in the background, its output to a file:
    (process, output file). Every process started is ended with the test."""
    started = []

    def run(args, env=LOOPBACK, prefix=(), program=BROVA, **kw):
        out = tempfile.NamedTemporaryFile("w+")
        # Its own open file: the process's writes do not share our read offset.
        with open(out.name, "w") as to:
            p = subprocess.Popen([*prefix, program, *map(str, args)], stdout=to, stderr=subprocess.PIPE, text=True,
                                 env=env, **kw)
        started.append(p)
        return p, out

    yield run
    for p in started:
        if p.poll() is None:
            p.send_signal(signal.SIGCONT)
            p.kill()
        p.wait()
        for pipe in (p.stdin, p.stderr):
            if pipe:
                pipe.close()


def finish(p, timeout=30):
    _, err = p.communicate(timeout=timeout)
    return p.returncode, err


def strict(name):
    raise ValueError("not JSON: %s" % name)


def messages(out, **parse):
    """What brova listen wrote so far (complete lines), as strict JSON."""
    # Read once and split here: iterating a file that grows can hand out the
    # end of a line whose start came as an incomplete last line.
    with open(out.name) as f:
        text = f.read()
    return [json.loads(line, parse_constant=strict, **parse) for line in text.split("\n")[:-1]]


def nanoseconds(m):
    """A message's time as whole nanoseconds (a float cannot hold them at
    epoch scale)."""
    return int(decimal.Decimal(m["time"]) * 10**9)


def exchange(start, sim, count, publisher_side=((), LOOPBACK), listener_side=((), LOOPBACK)):
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
    began = time.time_ns()
    publishers = [start(["publish", s.port, "--kind", kind, "--name", name, "--count", count, "--wait-subscribers", 1],
                        publisher_side[1], publisher_side[0])[0]
                  for s, kind, name in ((six, 95, "six"), (four, 94, "four"))]
    for p in publishers:
        code, err = finish(p)
        assert code == 0, err
        assert "%d samples from 1 port published" % count in err
    ended = time.time_ns()
    code, err = finish(listener)
    assert code == 0, err
    return messages(out, parse_float=decimal.Decimal), streamed, (began, ended)


def check_exchange(got, streamed, count, window):
    by_topic = {}
    for m in got:
        by_topic.setdefault(m["topic"], []).append(m)
    assert sorted(by_topic) == ["/brova/four/ch%d/wrench" % c for c in range(4)] + ["/brova/six/wrench"]
    six = streamed[95][0]
    axes = ["Fx", "Fy", "Fz", "Tx", "Ty", "Tz"]
    for topic, ms in by_topic.items():
        # Every sample once and in order: as many as published, stamps
        # strictly increasing, none received before it was taken. Compared
        # as whole nanoseconds of the real-time clock: taken while the
        # publishers ran, a period (1 ms) apart.
        assert len(ms) == count, topic
        stamps = [nanoseconds(m) for m in ms]
        assert all(a < b for a, b in zip(stamps, stamps[1:])), topic
        assert window[0] < stamps[0] and stamps[-1] < window[1], (topic, stamps[0], stamps[-1], window)
        steps = sorted(b - a for a, b in zip(stamps, stamps[1:]))
        assert abs(steps[len(steps) // 2] - 1000000) < 20000, topic
        assert abs((stamps[-1] - stamps[0]) - (count - 1) * 1000000) < count * 50000, topic
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


def test_every_sample_arrives_once_in_order_with_streams_values(start, sim):
    got, streamed, window = exchange(start, sim, 300)
    check_exchange(got, streamed, 300, window)


def test_signals_end_both_cleanly(start, sim):
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


def test_unplug_with_reconnect_keeps_the_topic_and_reports_the_gap(start, sim, tmp_path):
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
    assert wait_for(lambda: statuses()[-1]["values"]["estimated rate"] != "not estimated yet")
    values = statuses()[-1]["values"]
    assert abs(float(values["estimated rate"].split()[0]) - 1000) < 10, values
    assert (values["configured rate"], values["write failures"]) == ("1000 per second", "0")
    first.stop()
    # While the device is away its gap counts, and it has no state.
    assert wait_for(lambda: statuses()[-1]["level"] == 2), "the loss is not reported"
    lost = statuses()[-1]["values"]
    assert lost["gaps"] == "1" and float(lost["gap seconds"]) > 0 and lost["state"].startswith("none"), lost
    second = sim(68, "--rate", 1000, "--link", link)
    assert wait_for(lambda: statuses()[-1]["level"] == 0, 15), "the reopening is not reported"
    back = statuses()[-1]
    assert back["values"]["gaps"] == "1" and back["values"]["port"] == second.port
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
                 ["publish", "/dev/brv-none", "--history", "0"],
                 ["publish", "/dev/brv-none", "--history", "10", "--best-effort"],
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
    nowhere = dict(LOOPBACK, CYCLONEDDS_URI=URI % "brv-none0")
    code, _, err = brova("publish", s.port, "--kind", 68, env=nowhere)
    assert code == 1 and "cannot join DDS domain" in err, err
    # Every port and name is checked before the domain is joined (nothing
    # made on the bus for a run that is refused).
    code, _, err = brova("publish", s.port, sim(68).port, "--name", "a", "--name", "a", env=nowhere)
    assert code == 2 and "two sensors are named a" in err, err


def test_a_hostile_peer_cannot_break_the_output_and_gaps_are_told(start):
    # 40 messages a period (1 ms) apart, 3 left out, 17 more with one of
    # them 0.4 ms late (no gap), and one going back; NaN, infinities, and
    # frame ids that would break a row or a JSON text.
    t0 = time.time_ns() // 1000000 * 1000000
    stamps = [t0 + i * 1000000 for i in list(range(40)) + list(range(43, 60))]
    stamps[40 + 7] += 400000
    stamps.append(stamps[-2])
    frames = ["evil\\nfake,row,1,2,3", 'say "hi", twice', "bad\\xff\\xfeutf8\\x01", "plain"]
    shown = {"evil\\nfake,row,1,2,3": "evil\nfake,row,1,2,3", 'say "hi", twice': 'say "hi", twice',
             "bad\\xff\\xfeutf8\\x01": "bad\ufffd\ufffdutf8\x01", "plain": "plain"}
    values = ["nan inf -inf 1.5 -0 1e308", "1 2 3 4 5 6"]
    lines = ["%d\t%s\t%s" % (t, frames[i % 4], values[i % 2]) for i, t in enumerate(stamps)]
    n = len(lines)
    listeners = [start(["listen", "--format", f, "--count", n, "--duration", 60]) for f in ("csv", "jsonl")]
    peer, _ = start(["publish", "/brova/evil/wrench", 2], program=PEER, stdin=subprocess.PIPE)
    peer.stdin.write("\n".join(lines) + "\n")
    peer.stdin.close()
    assert peer.wait(60) == 0, peer.stderr.read()
    for listener, _ in listeners:
        code, err = finish(listener, 60)
        assert code == 5, err
        assert "/brova/evil/wrench: %d messages; 3 samples missing in 1 gap, 1 stamp going back" % n in err, err
    # CSV: one row of 11 fields per message, the texts intact, NaN and the
    # infinities empty.
    with open(listeners[0][1].name) as f:
        rows = list(csv.reader(io.StringIO(f.read(), newline="")))
    assert rows[0] == ["time", "topic", "frame_id", "Fx", "Fy", "Fz", "Tx", "Ty", "Tz", "latency", "transit"]
    assert [len(r) for r in rows[1:]] == [11] * n
    assert [r[2] for r in rows[1:]] == [shown[frames[i % 4]] for i in range(n)]
    assert [r[3:9] for r in rows[1:3]] == [["", "", "", "1.5", "0", "1e+308"], ["1", "2", "3", "4", "5", "6"]]
    # JSON lines: strict JSON (null for NaN and the infinities), the stamps
    # exactly those sent.
    got = messages(listeners[1][1], parse_float=decimal.Decimal)
    assert [nanoseconds(m) for m in got] == stamps
    assert [m["frame_id"] for m in got] == [shown[frames[i % 4]] for i in range(n)]
    assert [got[0][a] for a in ("Fx", "Fy", "Fz", "Tx", "Ty", "Tz")] == [None, None, None, decimal.Decimal("1.5"), 0,
                                                                         decimal.Decimal("1e+308")]


def test_a_stalled_subscriber_loses_only_what_the_history_cannot_hold_and_is_told(start, sim):
    # A four-channel device (four topics) at 1000/s for 5 s; the listeners
    # stopped for 3 s after 1.5 s. Keep last 10 loses samples, and brova
    # listen counts exactly those; keep last 4000 holds the stall.
    count, runs = 5000, {}
    for ns, extra in (("/short", []), ("/held", ["--history", 4000])):
        s = sim(94, "--rate", 1000)
        listener, out = start(["listen", "--namespace", ns, "--format", "jsonl", "--count", 4 * count,
                               "--duration", 12])
        publisher, _ = start(["publish", s.port, "--kind", 94, "--namespace", ns, "--name", "s", "--count", count,
                              "--wait-subscribers", 1, *extra])
        runs[ns] = (listener, out, publisher)
    assert wait_for(lambda: all(len(messages(r[1])) > 4 * 1500 for r in runs.values()), 20)
    for listener, _, _ in runs.values():
        listener.send_signal(signal.SIGSTOP)
    time.sleep(3)
    for listener, _, _ in runs.values():
        listener.send_signal(signal.SIGCONT)
    for ns, (listener, out, publisher) in runs.items():
        code, err = finish(publisher)
        assert code == 0 and "write failures" not in err, err
        code, err = finish(listener)
        got = len(messages(out))
        if ns == "/held":
            assert (code, got) == (0, 4 * count), err
        else:
            missing = sum(int(m) for m in re.findall(r"(\d+) samples? missing in", err))
            assert code == 5 and missing > 0 and got + missing == 4 * count, err


def idl_hashes():
    """The RIHS01 hash of every type in dds/ros2_msgs.idl, worked out here
    from the IDL by ROS 2's rule (REP 2016)."""
    with open(os.environ["ROS2_IDL"]) as f:
        text = re.sub(r"//[^\n]*", "", f.read())
    basic = {"long": 6, "unsigned long": 7, "double": 11, "boolean": 15, "octet": 16, "string": 17}
    types = {}
    for pkg, body in re.findall(r"module (\w+) \{ module msg \{ module dds_ \{(.*?)\}; \}; \};", text, re.S):
        for name, members in re.findall(r"struct (\w+)_ \{(.*?)\};", body, re.S):
            fields = []
            for kind, field in re.findall(r"^\s*(.+?)\s+(\w+)_;\s*$", members, re.M):
                sequence = kind.startswith("sequence<")
                kind = kind[len("sequence<"):-1] if sequence else kind
                if kind in basic:
                    t = {"type_id": basic[kind], "nested_type_name": ""}
                else:
                    parts = kind.rstrip("_").split("::")
                    full = "%s/msg/%s" % (parts[0], parts[-1]) if len(parts) > 1 else "%s/msg/%s" % (pkg, parts[0])
                    t = {"type_id": 1, "nested_type_name": full}
                t["type_id"] += 144 if sequence else 0
                fields.append({"name": field, "type": {"type_id": t["type_id"], "capacity": 0, "string_capacity": 0,
                                                       "nested_type_name": t["nested_type_name"]}})
            types["%s/msg/%s" % (pkg, name)] = {"type_name": "%s/msg/%s" % (pkg, name), "fields": fields}

    def referenced(name, seen):
        for f in types[name]["fields"]:
            nested = f["type"]["nested_type_name"]
            if nested and nested not in seen:
                seen.add(nested)
                referenced(nested, seen)
        return seen

    hashes = {}
    for name in types:
        text = json.dumps({"type_description": types[name],
                           "referenced_type_descriptions": [types[r] for r in sorted(referenced(name, set()))]},
                          separators=(", ", ": "))
        hashes[name] = "RIHS01_" + hashlib.sha256(text.encode()).hexdigest()
    return hashes


def test_endpoints_carry_the_real_type_hash(start, sim):
    want = idl_hashes()
    code = subprocess.run([PEER, "hashes"], capture_output=True, text=True)
    assert dict(line.split() for line in code.stdout.splitlines()) == want
    s = sim(68, "--rate", 1000)
    peer, seen = start(["endpoints", 6], program=PEER)
    listener, _ = start(["listen", "--format", "jsonl", "--diagnostics", "--count", 100])
    publisher, _ = start(["publish", s.port, "--kind", 68, "--name", "h", "--count", 100, "--wait-subscribers", 1])
    for p in (publisher, listener, peer):
        assert finish(p)[0] == 0
    with open(seen.name) as f:
        endpoints = {(e["kind"], e["topic"]): e for e in map(json.loads, f.read().splitlines())}
    wrench, diagnostics = want["geometry_msgs/msg/WrenchStamped"], want["diagnostic_msgs/msg/DiagnosticArray"]
    for key, hash in ((("writer", "rt/brova/h/ch0/wrench"), wrench), (("reader", "rt/brova/h/ch0/wrench"), wrench),
                      (("writer", "rt/diagnostics"), diagnostics), (("reader", "rt/diagnostics"), diagnostics)):
        assert endpoints[key]["user_data"] == "typehash=%s;" % hash, key


def test_overload_is_a_latched_bool_with_warn_statuses_and_the_filtered_wrench_beside(start, sim, tmp_path):
    control = str(tmp_path / "control")
    s = sim(68, "--rate", 1000, "--saturate", 30000, "--control", control)
    listener, out = start(["listen", "--format", "jsonl", "--diagnostics"])
    publisher, _ = start(["publish", s.port, "--kind", 68, "--name", "o", "--lowpass", 20])
    peer, said = start(["bool", "/brova/o/overload", 60], program=PEER)

    def values():
        with open(said.name) as f:
            return f.read().split()

    def statuses():
        return [m for m in messages(out) if m["topic"] == "/diagnostics" and m["name"] == "brova publish: o"]

    assert wait_for(lambda: values() == ["false"], 15), values()
    with open(control, "w") as c:
        c.write("counts 0 0 0 40000\n")  # every element past 30000: at the rail
    assert wait_for(lambda: values() == ["false", "true"], 15), values()
    assert wait_for(lambda: statuses() and statuses()[-1]["level"] == 1, 15)
    warn = statuses()[-1]
    assert "samples flagged" in warn["message"] and "rail" in warn["message"], warn
    assert int(warn["values"]["flagged samples"]) > 0 and warn["values"]["overload"].startswith("yes")
    assert "group delay" in warn["values"]["low-pass"]
    with open(control, "w") as c:
        c.write("counts 0 100 -50 20000\n")
    assert wait_for(lambda: values() == ["false", "true", "false"], 15), values()
    # Latched: a subscriber that comes now gets the state as it stands.
    late, late_said = start(["bool", "/brova/o/overload", 3], program=PEER)
    assert finish(late)[0] == 0
    with open(late_said.name) as f:
        assert f.read().split() == ["false"]
    # The filtered topic is there, of the wrench's type and hash; the overload
    # topic carries Bool's.
    endpoints, seen = start(["endpoints", 2], program=PEER)
    assert finish(endpoints)[0] == 0
    with open(seen.name) as f:
        found = {(e["topic"], e["type"], e["user_data"]) for e in map(json.loads, f.read().splitlines())
                 if e["kind"] == "writer"}
    want = idl_hashes()
    assert ("rt/brova/o/ch0/wrench_filtered", "geometry_msgs::msg::dds_::WrenchStamped_",
            "typehash=%s;" % want["geometry_msgs/msg/WrenchStamped"]) in found
    assert ("rt/brova/o/overload", "std_msgs::msg::dds_::Bool_", "typehash=%s;" % want["std_msgs/msg/Bool"]) in found


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
    # What still runs inside is ended first: a namespace is only deleted
    # with nothing left in it.
    for n in made:
        pids = subprocess.run(["ip", "netns", "pids", n], capture_output=True, text=True).stdout.split()
        for pid in pids:
            try:
                os.kill(int(pid), signal.SIGKILL)
            except ProcessLookupError:
                pass
        subprocess.run(["ip", "netns", "del", n], capture_output=True)


def test_publisher_and_listener_in_two_network_namespaces(start, sim, namespaces):
    tag, a, b = namespaces
    # Each side's DDS on its end of the veth pair only.
    env_a = dict(LOOPBACK, CYCLONEDDS_URI=URI % ("brv%sa" % tag))
    env_b = dict(LOOPBACK, CYCLONEDDS_URI=URI % ("brv%sb" % tag))
    got, streamed, window = exchange(start, sim, 200, (("ip", "netns", "exec", a), env_a),
                                     (("ip", "netns", "exec", b), env_b))
    check_exchange(got, streamed, 200, window)
