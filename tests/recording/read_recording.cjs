// A recording read by the format's independent readers from the npm registry
// (@mcap/core, @mcap/support, @foxglove/rosmsg, @foxglove/rosmsg2-serialization),
// printed as JSON for the tests to compare with brova stream's CSV:
//   node read_recording.cjs MODULES_DIR FILE
// A finished file is read twice: through its summary (McapIndexedReader, which
// finds the messages through the chunk and message indexes) and record by
// record (McapStreamReader); the two must agree message for message, and the
// statistics with both. A file without a summary (FILE.partial) is read by the
// stream reader only. Every message is decoded with the schema embedded in
// the file. Faults are listed in "faults".
"use strict";
const fs = require("node:fs");
const path = require("node:path");
const { createRequire } = require("node:module");

const [modulesDir, file] = process.argv.slice(2);
const load = createRequire(path.join(path.resolve(modulesDir), "loader.js"));
const { McapIndexedReader, McapStreamReader } = load("@mcap/core");
const { loadDecompressHandlers } = load("@mcap/support");
const { parse } = load("@foxglove/rosmsg");
const { MessageReader } = load("@foxglove/rosmsg2-serialization");

const faults = [];
const fault = (what) => faults.push(what);

const ns = (t) => BigInt(t.sec) * 1000000000n + BigInt(t.nanosec);

// A decoded message as the tests compare it (times as decimal strings).
function plain(type, m, logTime) {
  if (type === "geometry_msgs/msg/WrenchStamped") {
    const w = m.wrench;
    if (ns(m.header.stamp) !== logTime) fault(`a wrench's header.stamp is not its log_time`);
    return [String(ns(m.header.stamp)), m.header.frame_id, w.force.x, w.force.y, w.force.z, w.torque.x, w.torque.y,
      w.torque.z];
  }
  if (type === "brova_msgs/msg/Counts") {
    if (ns(m.header.stamp) !== logTime || ns(m.samples[0].stamp) !== logTime)
      fault(`a counts message's stamps are not its log_time`);
    return m.samples.map((s, k) => [String(ns(s.stamp)), String(BigInt(m.first_sample) + BigInt(k)), s.state, s.config,
      s.fx, s.fy, s.fz, s.tx, s.ty, s.tz,
      s.channels.map((c) => [c.s1, c.s2, c.s3, c.s4, c.s5, c.s6, c.s7, c.s8, c.x, c.y, c.z, c.aux]), s.flags]);
  }
  if (type === "diagnostic_msgs/msg/DiagnosticArray")
    return m.status.map((s) => ({ level: s.level, name: s.name, message: s.message, hardware_id: s.hardware_id,
      values: Object.fromEntries(s.values.map((kv) => [kv.key, kv.value])) }));
  return null;
}

function decoderFor(schemas, channels, readers, id) {
  if (readers.has(id)) return readers.get(id);
  const ch = channels.get(id);
  const schema = schemas.get(ch.schemaId);
  if (!schema || schema.encoding !== "ros2msg" || ch.messageEncoding !== "cdr") {
    fault(`${ch.topic}: schema ${schema && schema.encoding}, encoding ${ch.messageEncoding}`);
    readers.set(id, null);
    return null;
  }
  const text = new TextDecoder().decode(schema.data);
  const r = { type: schema.name, reader: new MessageReader(parse(text, { ros2: true })) };
  readers.set(id, r);
  return r;
}

function decodeAll(messages, schemas, channels) {
  const readers = new Map();
  const topics = {};
  for (const m of messages) {
    const ch = channels.get(m.channelId);
    const d = decoderFor(schemas, channels, readers, m.channelId);
    if (m.logTime !== m.publishTime) fault(`${ch.topic}: log_time and publish_time differ`);
    const t = (topics[ch.topic] = topics[ch.topic] || { type: d && d.type, messages: [] });
    if (!d) continue;
    try {
      t.messages.push(plain(d.type, d.reader.readMessage(m.data), m.logTime));
    } catch (e) {
      fault(`${ch.topic}: a message does not decode: ${e}`);
    }
  }
  return topics;
}

const key = (m) => `${m.channelId}/${m.sequence}/${m.logTime}/${Buffer.from(m.data).toString("base64")}`;

(async () => {
  const handlers = await loadDecompressHandlers();
  const bytes = fs.readFileSync(file);
  const out = { faults };

  // Record by record.
  const stream = new McapStreamReader({ decompressHandlers: handlers, validateCrcs: true });
  stream.append(bytes);
  const schemas = new Map(), channels = new Map(), streamed = [], metadata = [], attachments = [];
  let statistics = null;
  for (let r; (r = stream.nextRecord()); ) {
    if (r.type === "Schema") schemas.set(r.id, r);
    else if (r.type === "Channel") channels.set(r.id, r);
    else if (r.type === "Message") streamed.push(r);
    else if (r.type === "Metadata") metadata.push({ name: r.name, entries: Object.fromEntries(r.metadata) });
    else if (r.type === "Attachment") attachments.push({ name: r.name, mediaType: r.mediaType, size: r.data.length });
    else if (r.type === "Statistics") statistics = r;
  }
  out.finished = stream.done();
  out.channels = [...channels.values()].map((c) => ({ topic: c.topic, metadata: Object.fromEntries(c.metadata),
    schema: schemas.get(c.schemaId) && schemas.get(c.schemaId).name }));
  out.metadata = metadata;
  out.attachments = attachments;
  out.topics = decodeAll(streamed, schemas, channels);

  if (out.finished) {
    const reader = await McapIndexedReader.Initialize({
      readable: { size: async () => BigInt(bytes.length),
        read: async (o, n) => bytes.subarray(Number(o), Number(o + n)) },
      decompressHandlers: handlers,
    });
    const indexed = [];
    let last = -1n;
    for await (const m of reader.readMessages({ validateCrcs: true })) {
      if (m.logTime < last) fault("the indexed reader's messages are out of log-time order");
      last = m.logTime;
      indexed.push(m);
    }
    // The indexes lead to exactly the messages the chunks hold.
    const a = streamed.map(key).sort(), b = indexed.map(key).sort();
    if (a.length !== b.length || a.some((k, i) => k !== b[i]))
      fault(`the indexed reader finds ${b.length} messages, the stream reader ${a.length}, or other ones`);
    const s = reader.statistics;
    if (!s || s.messageCount !== BigInt(streamed.length)) fault(`statistics: ${s && s.messageCount} messages`);
    const counted = {};
    for (const m of streamed) counted[m.channelId] = (counted[m.channelId] || 0n) + 1n;
    for (const [id, n] of s.channelMessageCounts)
      if ((counted[id] || 0n) !== n) fault(`statistics: channel ${id} has ${n}, the file ${counted[id]}`);
    if (streamed.length) {
      const times = streamed.map((m) => m.logTime);
      const lo = times.reduce((x, y) => (y < x ? y : x)), hi = times.reduce((x, y) => (y > x ? y : x));
      if (s.messageStartTime !== lo || s.messageEndTime !== hi) fault("statistics: the time span");
    }
    for (const c of reader.chunkIndexes) {
      if (c.messageStartTime > c.messageEndTime) fault("a chunk index's time range");
    }
    out.chunks = reader.chunkIndexes.length;
    out.compression = [...new Set(reader.chunkIndexes.map((c) => c.compression))];
    out.statistics = { messageCount: String(s.messageCount), chunkCount: s.chunkCount };
  } else if (statistics) {
    fault("an unfinished file with statistics");
  }
  // Written whole before exiting: the decompressors' WebAssembly can keep
  // Node's event loop alive after the work is done.
  process.stdout.write(JSON.stringify(out), () => process.exit(0));
})().catch((e) => {
  console.error(e && e.stack ? e.stack : e);
  process.exit(1);
});
