// libFuzzer target: arbitrary bytes as an MCAP recording through the
// project's reader: opening (summary or scan), every read and the full
// check. Sanitizers catch any out-of-bounds access or leak; the limits keep
// each input's work bounded by its size.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mcapreader.h"

using namespace brovarecording;

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ReaderOptions options;
    options.maxChunkSize = 1 << 20;
    McapReader reader;
    if (!reader.openMemory(data, size, options))
        return 0;
    // What was opened refers only to bytes of the input.
    for (const ChunkInfo& c : reader.chunks())
        check(c.offset < size && c.length <= size - c.offset);
    for (const AttachmentInfo& a : reader.attachments())
        check(a.offset < size && a.length <= size - a.offset);

    uint64_t seen = 0;
    const bool all = bool(reader.forEachMessage([&](const MessageView& m) {
        check(m.size == 0 || m.data != nullptr);
        ++seen;
        return true;
    }));
    // Reads of a few channels: each in log-time order.
    size_t channels = 0;
    for (const Channel& c : reader.channels()) {
        if (++channels > 4)
            break;
        std::vector<Message> messages;
        if (reader.readMessages(c.id, messages)) {
            for (size_t i = 1; i < messages.size(); ++i)
                check(messages[i - 1].logTime <= messages[i].logTime);
        }
    }
    for (size_t i = 0; i < reader.attachments().size() && i < 4; ++i) {
        std::string bytes;
        reader.readAttachment(i, bytes);
    }
    // A file that verifies holds what its statistics say.
    if (reader.verify())
        check(all && seen == reader.statistics().messageCount);
    return 0;
}
