// Sample recordings for the format's independent readers: DIR/none.mcap,
// zstd.mcap and lz4.mcap finished; killed.mcap.partial from a writer killed
// with SIGKILL; cut.mcap.partial, a finished file cut inside a chunk; and
// DIR/expect.json, what each holds as the writer wrote it. Prints each
// file's size.
//
//   mcap_sample DIR [SENSORS SAMPLES]   (default 2 sensors, 300 samples each)
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>

#include <sys/wait.h>
#include <unistd.h>

#include "sample.h"

namespace {

std::string entry(const std::string& file, bool finished, const char* compression, const sample::Recording& r,
                  size_t messages, size_t chunks)
{
    std::map<std::string, size_t> perTopic;
    uint64_t start = UINT64_MAX, end = 0;
    for (size_t i = 0; i < messages; ++i) {
        ++perTopic[r.topics[r.messages[i].channel - 1u]];
        start = std::min(start, r.messages[i].logTime);
        end = std::max(end, r.messages[i].logTime);
    }
    std::string topics;
    for (const auto& [topic, n] : perTopic)
        topics += (topics.empty() ? "" : ", ") + ("\"" + topic + "\": " + std::to_string(n));
    return "{\"file\": \"" + file + "\", \"finished\": " + (finished ? "true" : "false") + ", \"compression\": \"" +
           compression + "\", \"chunks\": " + std::to_string(chunks) + ", \"messages\": " + std::to_string(messages) +
           ", \"start\": \"" + std::to_string(start) + "\", \"end\": \"" + std::to_string(end) +
           "\", \"perTopic\": {" + topics + "}, \"calibrationBytes\": " + std::to_string(std::strlen(sample::kCalibration)) +
           "}";
}

long fileSize(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return long(in.tellg());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: mcap_sample DIR [SENSORS SAMPLES]\n");
        return 2;
    }
    const std::string dir = argv[1];
    sample::Plan plan;
    if (argc == 4) {
        plan.sensors = std::atoi(argv[2]);
        plan.samples = std::atoi(argv[3]);
        plan.chunkSize = size_t(1) << 20;
        plan.flushEvery = 2 * plan.sensors * 1000;  // once a second at 1000 samples per second
    }
    std::vector<std::string> entries;
    using brovarecording::Compression;
    for (Compression c : {Compression::None, Compression::Zstd, Compression::Lz4}) {
        plan.compression = c;
        const std::string file = std::string(compressionName(c)) + ".mcap";
        const sample::Recording r = sample::write(dir + "/" + file, plan);
        if (!r.status) {
            std::fprintf(stderr, "%s\n", r.status.message.c_str());
            return 1;
        }
        entries.push_back(entry(file, true, c == Compression::None ? "" : compressionName(c), r, r.messages.size(),
                                r.messagesAtChunk.size()));
        std::printf("%-6s %10ld bytes, %zu messages, %zu chunks\n", compressionName(c), fileSize(dir + "/" + file),
                    r.messages.size(), r.messagesAtChunk.size());

        // The zstd file cut 100 bytes into its second chunk: the first is whole.
        if (c == Compression::Zstd && r.bytesAtChunk.size() > 1) {
            std::ifstream in(dir + "/" + file, std::ios::binary);
            const std::string bytes{std::istreambuf_iterator<char>(in), {}};
            std::ofstream(dir + "/cut.mcap.partial", std::ios::binary)
                << bytes.substr(0, size_t(r.bytesAtChunk[0] + 100));
            entries.push_back(entry("cut.mcap.partial", false, "zstd", r, r.messagesAtChunk[0], 1));
        }
    }

    // A writer killed with 80 messages in its open chunk: 8 flushed chunks of 150.
    sample::Plan killed;
    killed.chunkSize = size_t(1) << 20;
    killed.flushEvery = 150;
    killed.samples = 320;
    killed.kill = true;
    const pid_t child = ::fork();
    if (child == 0) {
        sample::write(dir + "/killed.mcap.partial", killed);
        ::_exit(3);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFSIGNALED(status)) {
        std::fprintf(stderr, "the killed writer did not die of its signal\n");
        return 1;
    }
    killed.kill = false;
    const sample::Recording same = sample::write(dir + "/killed-finished.mcap", killed);
    entries.push_back(entry("killed.mcap.partial", false, "zstd", same, 1200, 8));

    std::ofstream out(dir + "/expect.json");
    out << "[\n";
    for (size_t i = 0; i < entries.size(); ++i)
        out << "  " << entries[i] << (i + 1 < entries.size() ? ",\n" : "\n");
    out << "]\n";
    return out ? 0 : 1;
}
