// The MCAP writer and reader: what is written reads back (records, summary,
// every compression), a killed writer's file is recovered chunk by chunk, a
// cut or damaged file is refused cleanly, and a write error keeps what was
// written before it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mcapreader.h"
#include "sample.h"

using namespace brovarecording;

namespace {

class Mcap : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string base = (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + std::string("/mcapXXXXXX");
        ASSERT_NE(::mkdtemp(&base[0]), nullptr);
        dir_ = base;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

std::vector<uint8_t> bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The written messages of one channel, ordered as a reader must give them.
std::vector<sample::Written> ofChannel(const sample::Recording& r, uint16_t channel, size_t upTo)
{
    std::vector<sample::Written> out;
    for (size_t i = 0; i < upTo; ++i) {
        if (r.messages[i].channel == channel)
            out.push_back(r.messages[i]);
    }
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.logTime < b.logTime; });
    return out;
}

// The reader holds exactly the first n messages written, channel by channel
// in log-time order.
void expectMessages(const McapReader& reader, const sample::Recording& r, size_t n)
{
    size_t total = 0;
    for (uint16_t channel = 1; channel <= r.topics.size(); ++channel) {
        std::vector<Message> got;
        ASSERT_TRUE(reader.readMessages(channel, got)) << channel;
        const auto want = ofChannel(r, channel, n);
        ASSERT_EQ(got.size(), want.size()) << r.topics[channel - 1];
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].sequence, want[i].sequence);
            EXPECT_EQ(got[i].logTime, want[i].logTime);
            EXPECT_EQ(got[i].publishTime, want[i].publishTime);
            ASSERT_EQ(got[i].data, want[i].data) << r.topics[channel - 1] << " #" << i;
        }
        total += got.size();
    }
    EXPECT_EQ(total, n);
}

TEST_F(Mcap, WhatIsWrittenReadsBackAtEveryCompression)
{
    for (Compression c : {Compression::None, Compression::Zstd, Compression::Lz4}) {
        SCOPED_TRACE(compressionName(c));
        sample::Plan plan;
        plan.compression = c;
        const std::string file = path(std::string(compressionName(c)) + ".mcap");
        const sample::Recording r = sample::write(file, plan);
        ASSERT_TRUE(r.status) << r.status.message;

        McapReader reader;
        Status s = reader.open(file);
        ASSERT_TRUE(s) << s.message;
        EXPECT_TRUE(reader.indexed());
        EXPECT_EQ(reader.header().profile, "ros2");
        ASSERT_EQ(reader.schemas().size(), 2u);
        EXPECT_EQ(reader.schemas()[0].name, "geometry_msgs/msg/WrenchStamped");
        EXPECT_EQ(reader.schemas()[1].data, sample::kCountsText);
        ASSERT_EQ(reader.channels().size(), r.topics.size());
        for (const Channel& ch : reader.channels()) {
            EXPECT_EQ(ch.topic, r.topics[ch.id - 1u]);
            EXPECT_EQ(ch.schemaId, ch.topic.find("wrench") != std::string::npos ? 1 : 2);
            EXPECT_EQ(ch.messageEncoding, "cdr");
            EXPECT_EQ(ch.metadata.at("offered_qos_profiles"), "- history: 1\n  depth: 100\n");
        }
        ASSERT_EQ(reader.metadata().size(), 2u);
        EXPECT_EQ(reader.metadata()[0].entries.at("ft1"), "/dev/ttyUSB1 kind 94");
        EXPECT_EQ(reader.metadata()[1].name, "rosbag2");
        ASSERT_EQ(reader.attachments().size(), 1u);
        std::string calibration;
        ASSERT_TRUE(reader.readAttachment(0, calibration));
        EXPECT_EQ(calibration, sample::kCalibration);
        EXPECT_EQ(reader.attachments()[0].mediaType, "application/json");

        // Statistics as written; the log times span the late samples too.
        const Statistics& st = reader.statistics();
        EXPECT_EQ(st.messageCount, r.messages.size());
        EXPECT_EQ(st.channelMessageCounts.size(), r.topics.size());
        EXPECT_EQ(st.channelMessageCounts.at(3), size_t(plan.samples));
        uint64_t lo = UINT64_MAX, hi = 0;
        for (const auto& m : r.messages) {
            lo = std::min(lo, m.logTime);
            hi = std::max(hi, m.logTime);
        }
        EXPECT_EQ(st.messageStartTime, lo);
        EXPECT_EQ(st.messageEndTime, hi);
        EXPECT_EQ(st.attachmentCount, 1u);
        EXPECT_EQ(st.metadataCount, 2u);

        // Chunks: as many as were written, each of the chosen compression,
        // within the chunk size.
        ASSERT_EQ(reader.chunks().size(), r.messagesAtChunk.size());
        EXPECT_EQ(st.chunkCount, reader.chunks().size());
        for (const ChunkInfo& ch : reader.chunks()) {
            EXPECT_EQ(ch.compression, c == Compression::None ? "" : compressionName(c));
            EXPECT_LE(ch.uncompressedSize, plan.chunkSize);
            if (c != Compression::None) {
                EXPECT_LT(ch.compressedSize, ch.uncompressedSize * 3 / 4);
            }
        }

        expectMessages(reader, r, r.messages.size());
        size_t seen = 0;
        ASSERT_TRUE(reader.forEachMessage([&](const MessageView& m) {
            EXPECT_EQ(m.logTime, r.messages[seen].logTime);  // file order: as written
            return ++seen < 10;
        }));
        EXPECT_EQ(seen, 10u);
        s = reader.verify();
        EXPECT_TRUE(s) << s.message;
    }
}

TEST_F(Mcap, KilledWriterLeavesEveryFlushedChunk)
{
    sample::Plan plan;
    plan.chunkSize = 1 << 20;  // chunks close on flush only
    plan.flushEvery = 150;     // 1200 messages: 8 flushes, 0 messages after the last
    plan.samples = 320;        // 1280 messages: 80 in the open chunk when killed
    plan.kill = true;
    const std::string file = path("killed.mcap.partial");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        sample::write(file, plan);
        ::_exit(3);  // not reached
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    plan.kill = false;
    const sample::Recording r = sample::write(path("same.mcap"), plan);  // the same messages, finished
    McapReader reader;
    Status s = reader.open(file);
    ASSERT_TRUE(s) << s.message;
    EXPECT_FALSE(reader.indexed());
    EXPECT_NE(reader.scanNote().find("no summary"), std::string::npos) << reader.scanNote();
    EXPECT_EQ(reader.chunks().size(), 8u);
    EXPECT_EQ(reader.statistics().messageCount, 1200u);
    EXPECT_EQ(reader.attachments().size(), 1u);
    expectMessages(reader, r, 1200);
    s = reader.verify();
    EXPECT_TRUE(s) << s.message;
}

// A finished file cut at every byte: refused while it has no whole Header;
// from then on, every chunk that ends before the cut comes back, and nothing
// else.
TEST_F(Mcap, CutFileRecoversTheChunksBeforeTheCut)
{
    sample::Plan plan;
    plan.compression = Compression::Lz4;
    plan.chunkSize = 700;
    plan.samples = 40;
    const std::string file = path("cut.mcap");
    const sample::Recording r = sample::write(file, plan);
    ASSERT_TRUE(r.status);
    const std::vector<uint8_t> data = bytes(file);
    McapReader full;
    ASSERT_TRUE(full.openMemory(data.data(), data.size()));
    const std::vector<ChunkInfo> chunks = full.chunks();
    ASSERT_GT(chunks.size(), 4u);
    const size_t headerEnd = 8 + 9 + 8 + std::string("ros2libBRV tests").size();

    for (size_t cut = 0; cut < data.size(); ++cut) {
        McapReader reader;
        const Status s = reader.openMemory(data.data(), cut);
        if (cut < headerEnd) {
            ASSERT_FALSE(s) << cut;
            EXPECT_NE(s.message.find(cut < 8 ? "not an MCAP file" : "truncated"), std::string::npos) << s.message;
            continue;
        }
        ASSERT_TRUE(s) << cut << ": " << s.message;
        ASSERT_FALSE(reader.indexed());
        size_t whole = 0;
        while (whole < chunks.size() && chunks[whole].offset + chunks[whole].length <= cut)
            ++whole;
        ASSERT_EQ(reader.chunks().size(), whole) << cut;
        ASSERT_EQ(reader.statistics().messageCount, whole ? r.messagesAtChunk[whole - 1] : 0) << cut;
        if (whole == chunks.size() / 2)
            expectMessages(reader, r, r.messagesAtChunk[whole - 1]);
    }
}

// One flipped byte anywhere in a finished file is caught by open() or by
// verify(), except in the closing magic, which makes it a file to scan.
TEST_F(Mcap, DamageAnywhereIsFound)
{
    for (Compression c : {Compression::None, Compression::Zstd}) {
        sample::Plan plan;
        plan.compression = c;
        plan.chunkSize = 900;
        plan.samples = 30;
        const std::string file = path("damage.mcap");
        ASSERT_TRUE(sample::write(file, plan).status);
        std::vector<uint8_t> data = bytes(file);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] ^= 0x24;
            McapReader reader;
            const bool opened = bool(reader.openMemory(data.data(), data.size()));
            const bool sound = opened && bool(reader.verify());
            if (i >= data.size() - 8)
                EXPECT_TRUE(opened && !reader.indexed()) << i;
            else
                EXPECT_FALSE(sound) << compressionName(c) << ": byte " << i << " of " << data.size();
            data[i] ^= 0x24;
        }
    }

    // What the messages say, case by case.
    sample::Plan plan;
    plan.compression = Compression::None;
    plan.samples = 30;
    const std::string file = path("cases.mcap");
    ASSERT_TRUE(sample::write(file, plan).status);
    const std::vector<uint8_t> good = bytes(file);
    McapReader reader;
    ASSERT_TRUE(reader.openMemory(good.data(), good.size()));
    const ChunkInfo chunk = reader.chunks()[0];
    const uint64_t attachment = reader.attachments()[0].offset;
    struct Case {
        uint64_t at;
        const char* open;  // expected from open(), or null when it opens
        const char* read;  // then from readMessages / readAttachment
    } cases[] = {
        {0, "not an MCAP file", nullptr},
        {good.size() - 28, "summary does not match its CRC", nullptr},           // the footer's summary start
        {good.size() - 100, "summary does not match its CRC", nullptr},          // inside the summary
        {chunk.offset + chunk.length - 10, nullptr, "does not match its CRC"},   // a message's payload
        {chunk.offset + 9 + 16, nullptr, "claims"},                              // the uncompressed size
        // the calibration's bytes: after the times, name, media type and size
        {attachment + 9 + 16 + 4 + 8 + 4 + 16 + 8 + 3, nullptr, "attachment ft0.json does not match"},
    };
    for (const Case& k : cases) {
        std::vector<uint8_t> bad = good;
        bad[k.at] ^= 0x24;
        Status s = reader.openMemory(bad.data(), bad.size());
        if (k.open) {
            ASSERT_FALSE(s) << k.at;
            EXPECT_NE(s.message.find(k.open), std::string::npos) << s.message;
            continue;
        }
        ASSERT_TRUE(s) << s.message;
        std::vector<Message> messages;
        std::string data;
        s = reader.readMessages(1, messages);
        if (s)
            s = reader.readAttachment(0, data);
        ASSERT_FALSE(s) << k.at;
        EXPECT_NE(s.message.find(k.read), std::string::npos) << s.message;
        EXPECT_NE(s.message.find("the file is corrupt"), std::string::npos) << s.message;
    }
}

TEST_F(Mcap, WriteErrorKeepsTheChunksBefore)
{
    // A full disk at the first byte: the Header cannot be written.
    McapWriter full;
    WriterOptions options;
    Status s = full.open("/dev/full", options);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error, ENOSPC);
    EXPECT_NE(s.message.find("No space left on device"), std::string::npos) << s.message;
    EXPECT_FALSE(full.isOpen());

    // The file size limit reached in the middle of the third chunk.
    sample::Plan plan;
    plan.chunkSize = 1 << 20;
    plan.flushEvery = 100;
    const sample::Recording all = sample::write(path("unbounded.mcap"), plan);
    McapReader reader;
    ASSERT_TRUE(reader.open(path("unbounded.mcap")));
    const ChunkInfo third = reader.chunks()[2];

    struct rlimit before;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    struct rlimit limit = before;
    limit.rlim_cur = third.offset + third.length / 2;
    ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const sample::Recording cut = sample::write(path("limited.mcap"), plan);
    ::setrlimit(RLIMIT_FSIZE, &before);

    ASSERT_FALSE(cut.status);
    EXPECT_EQ(cut.status.error, EFBIG);
    EXPECT_NE(cut.status.message.find("cannot write " + path("limited.mcap")), std::string::npos);
    struct stat st;
    ASSERT_EQ(::stat(path("limited.mcap").c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), third.offset) << "cut back to the last whole record";
    s = reader.open(path("limited.mcap"));
    ASSERT_TRUE(s) << s.message;
    EXPECT_EQ(reader.chunks().size(), 2u);
    expectMessages(reader, all, 200);
    EXPECT_TRUE(reader.verify());
}

TEST_F(Mcap, MisuseIsRefusedAndTheWriterGoesOn)
{
    McapWriter w;
    uint16_t id = 0;
    EXPECT_FALSE(w.addSchema("a", "ros2msg", "", id));  // not open
    WriterOptions options;
    options.exclusive = true;
    ASSERT_TRUE(w.open(path("x.mcap"), options));
    EXPECT_FALSE(w.open(path("y.mcap"), options));  // open already
    McapWriter other;
    EXPECT_EQ(other.open(path("x.mcap"), options).error, EEXIST);
    EXPECT_FALSE(w.addChannel(1, "/t", "cdr", {}, id));  // no schema 1
    ASSERT_TRUE(w.addChannel(0, "/t", "cdr", {}, id));
    const uint8_t payload[3] = {1, 2, 3};
    EXPECT_FALSE(w.writeMessage(0, 0, 1, 1, payload, 3));
    EXPECT_FALSE(w.writeMessage(2, 0, 1, 1, payload, 3));
    EXPECT_FALSE(w.writeMessage(1, 0, 1, 1, nullptr, 3));
    EXPECT_TRUE(w.status());
    ASSERT_TRUE(w.writeMessage(1, 0, 5, 5, payload, 3));
    ASSERT_TRUE(w.finish());
    EXPECT_FALSE(w.finish());

    McapReader reader;
    ASSERT_TRUE(reader.open(path("x.mcap")));
    EXPECT_EQ(reader.statistics().messageCount, 1u);
    EXPECT_TRUE(reader.verify());
    EXPECT_FALSE(reader.open(dir_));  // a directory
}

} // namespace
