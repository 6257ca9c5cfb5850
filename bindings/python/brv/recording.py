"""Recordings read back into NumPy arrays: the MCAP files that `brova record`,
`brova stream --output FILE.mcap` and brova-scope write.

    import brv
    rec = brv.read_recording("run.mcap")      # or run.mcap.partial
    for name, s in rec.sensors.items():
        s.time          # (n,) float64, seconds since the epoch (the samples' instants)
        s.values        # (n, 6) Fx..Tz, or (n, channels, 3) x, y, z: N and N*m where calibrated
        s.counts["fx"]  # (n,) int32 ... and "s1".."s8", "x", "y", "z", "aux": (n, channels)
        s.flags         # (n,) uint32, each sample's status flags (brv.flags)

Written in Python on the file's public format, without libBRV: it reads the
records in file order, so that a recording that was not finished (a .partial
file) gives every complete chunk. Chunks compressed with zstd need the
package python3-zstandard (pip: zstandard), with lz4 python3-lz4 (pip: lz4);
uncompressed ones need nothing. Every chunk's CRC is checked. The file is
plain MCAP with ROS 2 messages: the `mcap` and `mcap-ros2-support` packages
read it as well.

Constants: MAGIC, the bytes that open and close an MCAP file; WRENCH_TYPE and
COUNTS_TYPE, the message types of the wrench and counts topics;
CHANNEL_FIELDS, the per-channel fields of Sensor.counts; WRENCH_FIELDS, its
wrench fields (fx ... tz).
"""

import struct
import zlib

import numpy as np

from .errors import BRVError

MAGIC = b"\x89MCAP0\r\n"

# Record opcodes.
_HEADER, _FOOTER, _SCHEMA, _CHANNEL, _MESSAGE, _CHUNK = 0x01, 0x02, 0x03, 0x04, 0x05, 0x06
_ATTACHMENT, _METADATA, _DATA_END = 0x09, 0x0C, 0x0F

WRENCH_TYPE = "geometry_msgs/msg/WrenchStamped"
COUNTS_TYPE = "brova_msgs/msg/Counts"
CHANNEL_FIELDS = ("s1", "s2", "s3", "s4", "s5", "s6", "s7", "s8", "x", "y", "z", "aux")
WRENCH_FIELDS = ("fx", "fy", "fz", "tx", "ty", "tz")


class RecordingError(BRVError, ValueError):
    """A file that is not a recording this reader can read, or a damaged one."""


class Sensor:
    """One sensor of a recording.

    name      its ROS name (the topics are NS/NAME/...)
    time      (n,) float64 seconds since the epoch: each sample's instant
    stamp_ns  (n,) int64 the same in nanoseconds (the messages' log_time)
    values    the wrench topics' values, N and N*m where a calibration
              applied, counts elsewhere: (n, 6) for a six-axis sensor,
              (n, channels, 3) for the channels of a three-axis device
    filtered  the same from the wrench_filtered topics of a recording made
              with --lowpass (low-pass filtered, with the same stamps; fewer
              where the filter was off); else None
    counts    the raw records (the counts topic): "sample" (n,) uint64,
              "state" and "config" (n,) uint8, "flags" (n,) uint32, "fx" ..
              "tz" (n,) int32, and "s1" .. "s8", "x", "y", "z", "aux"
              (n, channels) int32
    flags     (n,) uint32 each sample's status flags (brv.flags: a field at
              its rail, a calibrated value over its rated range), as brova
              stream's flags column has them; 0: nothing to tell
    device    the device's metadata (port, kind, rates, calibration ...);
              empty for a recording that was not finished
    """

    def __init__(self, name):
        self.name = name
        self.time = np.zeros(0)
        self.stamp_ns = np.zeros(0, dtype=np.int64)
        self.values = np.zeros((0, 6))
        self.counts = {}
        self.flags = np.zeros(0, dtype=np.uint32)
        self.filtered = None
        self.device = {}

    def __repr__(self):
        return "Sensor(%r, %d samples)" % (self.name, len(self.time))


class Recording:
    """A recording: `sensors` by name, `finished` (False for a file without
    its summary: what its complete chunks held), `metadata` (name: dict),
    `attachments` (name: bytes, e.g. the calibration files), `topics`
    (topic: message type) and `messages` (topic: count)."""

    def __init__(self, path):
        self.path = path
        self.finished = False
        self.sensors = {}
        self.metadata = {}
        self.attachments = {}
        self.topics = {}
        self.messages = {}


def _string(buf, at):
    (n,) = struct.unpack_from("<I", buf, at)
    at += 4
    return bytes(buf[at:at + n]).decode("utf-8", "replace"), at + n


def _map(buf, at):
    (n,) = struct.unpack_from("<I", buf, at)
    at += 4
    end = at + n
    out = {}
    while at < end:
        k, at = _string(buf, at)
        v, at = _string(buf, at)
        out[k] = v
    return out, end


def _decompress(compression, data, size):
    if compression == "":
        return data
    if compression == "zstd":
        try:
            import zstandard
        except ImportError:
            raise RecordingError("this recording's chunks are compressed with zstd: install python3-zstandard "
                                 "(or pip install zstandard)") from None
        return zstandard.ZstdDecompressor().decompress(bytes(data), max_output_size=size)
    if compression == "lz4":
        try:
            import lz4.frame
        except ImportError:
            raise RecordingError("this recording's chunks are compressed with lz4: install python3-lz4 "
                                 "(or pip install lz4)") from None
        return lz4.frame.decompress(bytes(data))
    raise RecordingError("a chunk compressed with %r, which this reader does not know" % compression)


def _records(buf, start, end, visit):
    """Visits every whole record of buf[start:end]; returns where it stopped."""
    at = start
    while at + 9 <= end:
        op, n = struct.unpack_from("<BQ", buf, at)
        if at + 9 + n > end:
            break
        visit(op, buf, at + 9, at + 9 + n)
        at += 9 + n
    return at


def _wrench_values(payloads):
    """(n, 6) float64 and (n,) int64 stamps of WrenchStamped payloads."""
    n = len(payloads)
    if n == 0:
        return np.zeros((0, 6)), np.zeros(0, dtype=np.int64)
    size = len(payloads[0])
    if all(len(p) == size for p in payloads):
        raw = np.frombuffer(b"".join(payloads), dtype=np.uint8).reshape(n, size)
        sec = raw[:, 4:8].copy().view("<i4")[:, 0].astype(np.int64)
        nsec = raw[:, 8:12].copy().view("<u4")[:, 0].astype(np.int64)
        values = raw[:, size - 48:].copy().view("<f8")
        return values, sec * 1000000000 + nsec
    values = np.zeros((n, 6))
    stamps = np.zeros(n, dtype=np.int64)
    for i, p in enumerate(payloads):
        sec, nsec = struct.unpack_from("<iI", p, 4)
        stamps[i] = sec * 1000000000 + nsec
        values[i] = struct.unpack_from("<6d", p, len(p) - 48)
    return values, stamps


def _sensor_values(wrenches, base, leaf):
    """A sensor's values from its topic BASE+LEAF (six-axis), or from its
    channels' BASE+chN/LEAF stacked (n, channels, 3); None without them."""
    if base + leaf in wrenches:
        return wrenches[base + leaf][0]
    per = [wrenches[t][0] for t in sorted(wrenches) if t.startswith(base + "ch") and t.endswith("/" + leaf)]
    if not per:
        return None
    n = min(len(v) for v in per)
    return np.stack([v[:n, :3] for v in per], axis=1)


def _counts(payloads):
    """The samples of Counts payloads as a dict of arrays."""
    rows = []
    channels = None
    for p in payloads:
        at = 4 + 8
        _, at = _string(p, at)
        at += -(at - 4) % 8
        first, n = struct.unpack_from("<QI", p, at)
        at += 12
        if n == 0:
            continue
        at += -(at - 4) % 4
        (c,) = struct.unpack_from("<I", p, at + 40)
        if channels is None:
            channels = c
        size = 44 + 48 * c
        if c != channels or at + n * size > len(p):
            raise RecordingError("a counts message whose samples do not have %d channels each" % channels)
        dtype = np.dtype([("sec", "<i4"), ("nsec", "<u4"), ("state", "u1"), ("config", "u1"), ("pad", "u2"),
                          ("flags", "<u4"), ("wrench", "<i4", (6,)), ("n", "<u4"), ("ch", "<i4", (c, 12))])
        block = np.frombuffer(p, dtype=dtype, count=n, offset=at)
        if np.any(block["n"] != c):
            raise RecordingError("a counts message whose samples do not have %d channels each" % channels)
        rows.append((first, block))
    if not rows:
        return {}
    block = np.concatenate([b for _, b in rows])
    sample = np.concatenate([np.arange(first, first + len(b), dtype=np.uint64) for first, b in rows])
    out = {"sample": sample, "stamp_ns": block["sec"].astype(np.int64) * 1000000000 + block["nsec"],
           "state": block["state"].copy(), "config": block["config"].copy(), "flags": block["flags"].copy()}
    for i, f in enumerate(WRENCH_FIELDS):
        out[f] = block["wrench"][:, i].copy()
    for i, f in enumerate(CHANNEL_FIELDS):
        out[f] = block["ch"][:, :, i].copy()
    return out


def read_recording(path):
    """Reads the recording at path (a finished FILE.mcap, or a FILE.partial
    left by a recorder that was stopped) into a Recording."""
    with open(path, "rb") as f:
        data = f.read()
    buf = memoryview(data)
    if len(data) < 8 or data[:8] != MAGIC:
        raise RecordingError("%s: not an MCAP recording (no MCAP magic at its start)" % path)
    rec = Recording(path)
    schemas, channels, payloads = {}, {}, {}
    state = {"ended": False}

    def visit(op, b, start, end):
        if op == _SCHEMA:
            (sid,) = struct.unpack_from("<H", b, start)
            name, at = _string(b, start + 2)
            schemas[sid] = name
        elif op == _CHANNEL:
            cid, sid = struct.unpack_from("<HH", b, start)
            topic, at = _string(b, start + 4)
            channels[cid] = (topic, schemas.get(sid, ""))
        elif op == _MESSAGE:
            (cid,) = struct.unpack_from("<H", b, start)
            payloads.setdefault(cid, []).append(bytes(b[start + 22:end]))
        elif op == _CHUNK:
            _, _, size, crc = struct.unpack_from("<QQQI", b, start)
            compression, at = _string(b, start + 28)
            (n,) = struct.unpack_from("<Q", b, at)
            records = _decompress(compression, b[at + 8:at + 8 + n], size)
            if len(records) != size or (crc and zlib.crc32(records) != crc):
                raise RecordingError("%s: a chunk at byte %d does not match its CRC or size" % (path, start - 9))
            _records(memoryview(records), 0, len(records), visit)
        elif op == _METADATA:
            name, at = _string(b, start)
            rec.metadata[name], _ = _map(b, at)
        elif op == _ATTACHMENT:
            at = start + 16
            name, at = _string(b, at)
            _, at = _string(b, at)
            (n,) = struct.unpack_from("<Q", b, at)
            rec.attachments[name] = bytes(b[at + 8:at + 8 + n])
        elif op in (_DATA_END, _FOOTER):
            state["ended"] = True

    def top(op, b, start, end):
        if not state["ended"]:
            visit(op, b, start, end)
        if op == _FOOTER:
            state["footer"] = True

    _records(buf, 8, len(data), top)
    rec.finished = bool(state.get("footer")) and data[-8:] == MAGIC

    wrenches = {}
    for cid, (topic, type_) in channels.items():
        rec.topics[topic] = type_
        rec.messages[topic] = len(payloads.get(cid, []))
        if type_ == WRENCH_TYPE:
            wrenches[topic] = _wrench_values(payloads.get(cid, []))
    for cid, (topic, type_) in channels.items():
        if type_ != COUNTS_TYPE or not topic.endswith("/counts"):
            continue
        base = topic[:-len("counts")]
        s = Sensor(base.rstrip("/").rsplit("/", 1)[-1])
        s.counts = _counts(payloads.get(cid, []))
        s.device = rec.metadata.get("brova.device." + s.name, {})
        n = len(s.counts.get("sample", []))
        values = _sensor_values(wrenches, base, "wrench")
        if values is not None:
            n = min(n, len(values))
            s.values = values[:n]
        s.filtered = _sensor_values(wrenches, base, "wrench_filtered")
        for k in list(s.counts):
            s.counts[k] = s.counts[k][:n]
        s.stamp_ns = s.counts.get("stamp_ns", np.zeros(0, dtype=np.int64))
        s.flags = s.counts.get("flags", np.zeros(0, dtype=np.uint32))
        s.time = s.stamp_ns / 1e9
        rec.sensors[s.name] = s
    return rec
