// The writer's files through the format's independent readers (@mcap/core,
// @mcap/support): the indexed reader through the summary, the stream reader
// record by record (on the finished files and on the .partial ones), CRCs
// checked, counts and statistics against what the writer wrote.
//
//   node check_npm_readers.cjs FILES_DIR MODULES_DIR
"use strict";
const fs = require("node:fs");
const path = require("node:path");
const { createRequire } = require("node:module");

const [filesDir, modulesDir] = process.argv.slice(2);
const load = createRequire(path.join(path.resolve(modulesDir), "loader.js"));
const { McapIndexedReader, McapStreamReader } = load("@mcap/core");
const { loadDecompressHandlers } = load("@mcap/support");

let failures = 0;
function check(ok, what) {
  if (!ok) {
    failures++;
    console.error(`FAIL ${what}`);
  }
}

// CRC-32 (the zlib polynomial) of the data section, to set beside Data End's.
const table = new Uint32Array(256).map((_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});
function crc32(bytes) {
  let c = 0xffffffff;
  for (const b of bytes) c = table[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

function countsEqual(got, want, what) {
  const keys = new Set([...Object.keys(got), ...Object.keys(want)]);
  for (const k of keys) check(got[k] === want[k], `${what}: ${k} has ${got[k]} messages, expected ${want[k]}`);
}

async function indexed(bytes, e, handlers) {
  const readable = {
    size: async () => BigInt(bytes.length),
    read: async (offset, length) => bytes.subarray(Number(offset), Number(offset + length)),
  };
  const reader = await McapIndexedReader.Initialize({ readable, decompressHandlers: handlers });
  const what = `${e.file} (indexed)`;
  check(reader.header.profile === "ros2", `${what}: profile ${reader.header.profile}`);
  check(reader.chunkIndexes.length === e.chunks, `${what}: ${reader.chunkIndexes.length} chunk indexes`);
  for (const c of reader.chunkIndexes) check(c.compression === e.compression, `${what}: compression ${c.compression}`);
  check(reader.dataSectionCrc === crc32(bytes.subarray(0, Number(reader.dataEndOffset))), `${what}: data section CRC`);
  const s = reader.statistics;
  check(s !== undefined && s.messageCount === BigInt(e.messages), `${what}: statistics count ${s && s.messageCount}`);
  check(s.chunkCount === e.chunks && s.attachmentCount === 1 && s.metadataCount === 2, `${what}: statistics counts`);
  check(s.messageStartTime === BigInt(e.start) && s.messageEndTime === BigInt(e.end), `${what}: statistics span`);
  const fromStatistics = {};
  for (const [id, n] of s.channelMessageCounts) fromStatistics[reader.channelsById.get(id).topic] = Number(n);
  countsEqual(fromStatistics, e.perTopic, `${what} statistics`);
  for (const ch of reader.channelsById.values()) {
    const schema = reader.schemasById.get(ch.schemaId);
    check(schema && schema.encoding === "ros2msg" && ch.messageEncoding === "cdr", `${what}: ${ch.topic} schema`);
    check(ch.metadata.has("offered_qos_profiles"), `${what}: ${ch.topic} metadata`);
  }

  const counted = {};
  let last = -1n;
  for await (const m of reader.readMessages({ validateCrcs: true })) {
    const topic = reader.channelsById.get(m.channelId).topic;
    counted[topic] = (counted[topic] || 0) + 1;
    check(m.logTime >= last, `${what}: messages out of log-time order`);
    last = m.logTime;
  }
  countsEqual(counted, e.perTopic, what);

  const names = [];
  for await (const m of reader.readMetadata()) names.push(m.name);
  check(names.join() === "devices,rosbag2", `${what}: metadata ${names}`);
  for await (const a of reader.readAttachments({ validateCrcs: true }))
    check(a.name === "ft0.json" && a.data.length === e.calibrationBytes, `${what}: attachment ${a.name}`);
}

function streamed(bytes, e, handlers) {
  const reader = new McapStreamReader({ decompressHandlers: handlers, validateCrcs: true });
  reader.append(bytes);
  const counted = {};
  const channels = new Map();
  const kinds = {};
  for (let r; (r = reader.nextRecord()); ) {
    kinds[r.type] = (kinds[r.type] || 0) + 1;
    if (r.type === "Channel") channels.set(r.id, r.topic);
    if (r.type === "Message") {
      const topic = channels.get(r.channelId);
      counted[topic] = (counted[topic] || 0) + 1;
    }
  }
  const what = `${e.file} (stream)`;
  check(reader.done() === e.finished, `${what}: done() is ${reader.done()}`);
  countsEqual(counted, e.perTopic, what);
  if (e.finished) {
    check(kinds.DataEnd === 1 && kinds.Footer === 1 && kinds.Statistics === 1, `${what}: records ${JSON.stringify(kinds)}`);
    check(kinds.MessageIndex >= e.chunks, `${what}: ${kinds.MessageIndex} message indexes`);
  } else {
    check(reader.bytesRemaining() > 0 || e.file.startsWith("killed"), `${what}: the cut record is left over`);
  }
}

(async () => {
  const handlers = await loadDecompressHandlers();
  const expected = JSON.parse(fs.readFileSync(path.join(filesDir, "expect.json"), "utf8"));
  for (const e of expected) {
    const bytes = fs.readFileSync(path.join(filesDir, e.file));
    try {
      if (e.finished) await indexed(bytes, e, handlers);
      streamed(bytes, e, handlers);
    } catch (err) {
      check(false, `${e.file}: ${err && err.stack ? err.stack : err}`);
    }
    console.log(`${e.file}: ${bytes.length} bytes, ${e.messages} messages checked`);
  }
  // The indexed reader refuses a file without a summary.
  let refused = false;
  try {
    const bytes = fs.readFileSync(path.join(filesDir, "killed.mcap.partial"));
    await McapIndexedReader.Initialize({
      readable: { size: async () => BigInt(bytes.length), read: async (o, n) => bytes.subarray(Number(o), Number(o + n)) },
      decompressHandlers: handlers,
    });
  } catch {
    refused = true;
  }
  check(refused, "the indexed reader opened a file without a summary");
  if (failures) {
    console.error(`${failures} checks failed`);
    process.exit(1);
  }
  console.log("all checks passed");
  // The decompressors' WebAssembly can keep Node's event loop alive after
  // the work is done: the result is given by the exit status at once.
  process.exit(0);
})().catch((e) => {
  console.error(e && e.stack ? e.stack : e);
  process.exit(1);
});
