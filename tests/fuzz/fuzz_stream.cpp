// The stream file's header check and record walk on arbitrary bytes.
#include "StreamFile.h"

#include <cstring>

using namespace zem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    HeaderBytes h{};
    std::memcpy(h.data(), data, std::min(size, h.size()));
    (void)HeaderChecksum(h);
    HeaderLabels labels = MakeHeaderLabels(h);
    (void)HeaderText(h, hdr::kSoftwareVersion);
    (void)HeaderText(h, hdr::kProductName);
    if (labels.speedOffset.size() < 6) __builtin_trap();

    MemorySource source(data, size);
    StreamWalk kept = WalkStream(source, true);
    StreamWalk counted = WalkStream(source, false);
    // Keeping the records or not must not change what the walk finds.
    if (kept.recordCount != counted.recordCount || kept.endsExactly != counted.endsExactly ||
        kept.truncated != counted.truncated || kept.cutAt != counted.cutAt ||
        kept.speedRecord != counted.speedRecord || kept.records.size() != kept.recordCount ||
        !counted.records.empty())
        __builtin_trap();
    if (kept.tooShort) {
        if (kept.recordCount != 0 || size >= 78) __builtin_trap();
        return 0;
    }
    // Records lie end to end from the header on, inside the buffer.
    uint64_t at = kept.headerLength;
    for (const StreamRecord& r : kept.records) {
        if (r.start != at || r.payloadStart != at + 2 || r.end != at + r.count + 3 || r.end > size)
            __builtin_trap();
        if (Le16(data + r.start) != r.count) __builtin_trap();
        at = r.end;
    }
    if (kept.endsExactly != (!kept.records.empty() && at == size)) __builtin_trap();
    if (kept.truncated && (kept.cutAt != at || at >= size)) __builtin_trap();
    if (!kept.truncated && at != size) __builtin_trap();
    return 0;
}
