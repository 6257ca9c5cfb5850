// libFuzzer target: arbitrary bytes, in arbitrary splits, through both stream
// parsers under every protocol version. Sanitizers catch any out-of-bounds
// access; the checks below catch broken engine invariants.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine_access.h"

namespace {

using A = BrovaEngineAccess;

constexpr brova_version kVersions[] = {BROVA_NONE, BROVA_STREAM_3AXIS, BROVA_STREAM_4CH, BROVA_STREAM_6AXIS,
                                       BROVA_FRAMED_3AXIS, BROVA_FRAMED_4CH, BROVA_FRAMED_6AXIS};

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

} // namespace

// Input: byte 0 picks the version, byte 1 the configuration byte, byte 2 the
// split pattern seed; the rest is the stream. Each chunk goes to one of the
// two parsers, chosen by the pattern, as reads of different kinds would.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    BrovaDAQ_private engine;
    A::opened(engine, kVersions[data[0] % 7]);
    A::config(engine).value = data[1];
    uint32_t pattern = data[2] * 2654435761u + 1;

    size_t at = 3;
    while (at < size) {
        pattern = pattern * 1103515245u + 12345u;
        const size_t chunk = 1 + (pattern >> 16) % 97;
        const size_t end = at + chunk < size ? at + chunk : size;
        const std::vector<uint8_t> piece(data + at, data + end);
        const bool keep = (pattern >> 8) & 1;
        const uint32_t stateBefore = A::parserState(engine);
        int r;
        if ((pattern >> 9) & 1) {
            A::Queue6D q;
            r = A::parse6D(engine, piece, q, keep);
            check(r == -1 || r == static_cast<int>(q.size()));
        } else {
            A::Queues q;
            r = A::parse(engine, piece, q, keep);
            check(r == -1 || r == static_cast<int>(q[0].size()));
            for (int c = 1; c < 16; ++c)
                check(q[c].size() <= q[0].size());  // every frame serves channel 0
        }
        // The channel list always covers the channel count.
        check(A::channels(engine) >= A::sensorSize(engine));
        check(A::parserState(engine) <= 0x9F);
        if (keep) {
            // A peek leaves the frame where it was.
            check(A::parserState(engine) == stateBefore);
            // The kept bytes are parsed again by the next run: drain them
            // once so the input keeps moving.
            A::Queues drain;
            A::parse(engine, {}, drain, false);
        }
        at = end;
    }
    return 0;
}
