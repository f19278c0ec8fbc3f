#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace zem {

// Fingerprints of a stream as a run sent it, for the results log: CRC-32 (IEEE 802.3) as eight
// upper-case hexadecimal digits and SHA-256 as 64 lower-case ones (as sha256sum prints it).
struct StreamDigest {
    std::string crc32;
    std::string sha256;
};
StreamDigest DigestOf(const uint8_t* data, size_t size);

std::string Crc32Hex(const uint8_t* data, size_t size);
std::string Sha256Hex(const uint8_t* data, size_t size);

} // namespace zem
