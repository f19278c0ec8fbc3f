#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zem::sim {

// What a stream file to build looks like. Payload bytes are pseudo-random from `seed`, so the
// same description always gives the same file.
struct StreamLayout {
    uint16_t version = 2;               // 1: 76-byte header, 2: 78-byte header with the boot type
    uint16_t bootType = 0;              // version 2 only
    uint16_t flashType = 1;             // 1 = 4MB, 2 = 8MB
    std::vector<uint32_t> payloadSizes; // bytes per record payload (count + 1), 1..65536 each
    // Where the speed word goes: inside record `speedRecord` (1-based) at byte `speedInRecord`
    // of its payload; with speedRecord 0 the Speed Offset field is `speedOffset` as given.
    uint32_t speedRecord = 0;
    uint32_t speedInRecord = 0;
    uint32_t speedOffset = 0;
    uint16_t speedWordValue = 1; // the file's own speed word (code 1 = 115200)
    uint32_t seed = 1;
    std::string softwareVersion = "ZEM-SIM 1.0";
    std::string productName = "ZEM TEST MODULE";
    bool badCrc = false; // spoil the header checksum
    uint32_t trailingBytes =
        0; // bytes after the last record (the records then do not end at the end)
};

// Builds the file image. Empty, with a reason in `error`, when the description is impossible.
std::vector<uint8_t> BuildStream(const StreamLayout& layout, std::string* error = nullptr);

// Additive header checksum over an image's header (bytes 0-69, plus 76-77 for version 2).
uint16_t StreamHeaderSum(const std::vector<uint8_t>& image);

// Rewrites the header checksum of an image after its header was edited.
void FixStreamChecksum(std::vector<uint8_t>& image);

} // namespace zem::sim
