#include "StreamBuilder.h"

#include "StreamFile.h"

#include <algorithm>
#include <cstring>

namespace zem::sim {

namespace {

void Put16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
    v[at] = static_cast<uint8_t>(x);
    v[at + 1] = static_cast<uint8_t>(x >> 8);
}

void Put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

void PutText(std::vector<uint8_t>& v, size_t at, const std::string& s) {
    std::memcpy(v.data() + at, s.data(), std::min<size_t>(s.size(), hdr::kTextWidth));
}

std::vector<uint8_t> Refuse(std::string* error, const std::string& why) {
    if (error) *error = why;
    return {};
}

} // namespace

uint16_t StreamHeaderSum(const std::vector<uint8_t>& image) {
    HeaderBytes h{};
    std::copy_n(image.begin(), std::min(image.size(), h.size()), h.begin());
    return HeaderChecksum(h);
}

void FixStreamChecksum(std::vector<uint8_t>& image) {
    if (image.size() < hdr::kCrc + 2) return;
    Put16(image, hdr::kCrc, StreamHeaderSum(image));
}

std::vector<uint8_t> BuildStream(const StreamLayout& layout, std::string* error) {
    if (layout.version != 1 && layout.version != 2)
        return Refuse(error, "the stream version must be 1 or 2");
    const uint32_t headerLength = HeaderLengthFor(layout.version);
    uint64_t bodySize = 0;
    for (uint32_t n : layout.payloadSizes) {
        if (n < 1 || n > 65536) return Refuse(error, "a record payload holds 1 to 65536 bytes");
        bodySize += n + 2u;
    }
    const uint64_t fileSize = headerLength + bodySize + layout.trailingBytes;
    if (fileSize > 0x7FFFFFFF) return Refuse(error, "the stream would exceed 2 GiB");

    std::vector<uint8_t> image(static_cast<size_t>(fileSize), 0);
    Put16(image, hdr::kHeaderLength, static_cast<uint16_t>(headerLength));
    PutText(image, hdr::kSoftwareVersion, layout.softwareVersion);
    PutText(image, hdr::kProductName, layout.productName);
    Put16(image, hdr::kFlashType, layout.flashType);
    Put16(image, hdr::kStreamVersion, layout.version);

    // Records, payloads from a xorshift generator.
    uint32_t state = layout.seed ? layout.seed : 0x9E3779B9u;
    size_t pos = headerLength;
    std::vector<size_t> payloadStarts;
    for (uint32_t n : layout.payloadSizes) {
        Put16(image, pos, static_cast<uint16_t>(n - 1));
        payloadStarts.push_back(pos + 2);
        for (uint32_t i = 0; i < n; ++i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            image[pos + 2 + i] = static_cast<uint8_t>(state >> 11);
        }
        pos += n + 2u;
    }
    for (uint32_t i = 0; i < layout.trailingBytes; ++i)
        image[pos + i] = static_cast<uint8_t>(0xEE);

    uint32_t speedOffset = layout.speedOffset;
    if (layout.speedRecord > 0) {
        if (layout.speedRecord > layout.payloadSizes.size())
            return Refuse(error, "the speed word's record does not exist");
        if (uint64_t{layout.speedInRecord} + 2 > layout.payloadSizes[layout.speedRecord - 1])
            return Refuse(error, "the speed word must lie inside its record's payload");
        size_t at = payloadStarts[layout.speedRecord - 1] + layout.speedInRecord;
        speedOffset = static_cast<uint32_t>(at - headerLength);
        Put16(image, at, layout.speedWordValue);
    }
    Put32(image, hdr::kSpeedOffset, speedOffset);
    // Written after the records: in a version 1 file bytes 76-77 are the first record's count.
    if (layout.version == 2) Put16(image, hdr::kBootType, layout.bootType);
    FixStreamChecksum(image);
    if (layout.badCrc) image[hdr::kCrc] ^= 0x5A;
    return image;
}

} // namespace zem::sim
