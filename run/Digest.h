#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zem {

// Fingerprints of a stream as a run sent it, for the results log: CRC-32 (IEEE 802.3) as eight
// upper-case hexadecimal digits and SHA-256 as 64 lower-case ones (as sha256sum prints it).
struct StreamDigest {
    std::string crc32;
    std::string sha256;
};
StreamDigest DigestOf(const uint8_t* data, size_t size);

// The last stream fingerprinted, kept with its digest: the runs of a station load the same bytes
// time and again, and comparing them costs a fraction of hashing them. Exact: bytes that differ
// in any way are hashed anew. Thread-safe; the hashing runs outside its lock.
class DigestCache {
public:
    StreamDigest Of(const uint8_t* data, size_t size);

private:
    std::mutex mutex_;
    std::shared_ptr<const std::vector<uint8_t>> bytes_;
    StreamDigest digest_;
};

std::string Crc32Hex(const uint8_t* data, size_t size);
std::string Sha256Hex(const uint8_t* data, size_t size);

} // namespace zem
