#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Stream file: a 76-byte (version 1) or 78-byte (version 2) little-endian header, then records of
// a 16-bit count N followed by N + 1 payload bytes, laid end to end up to the end of the file.
// Everything here is independent of any window; the front ends only display the results.
namespace zem {

constexpr size_t kHeaderReadSize = 78;
using HeaderBytes = std::array<uint8_t, kHeaderReadSize>;

namespace hdr {
constexpr size_t kHeaderLength = 0;
constexpr size_t kSoftwareVersion = 2;
constexpr size_t kProductName = 34;
constexpr size_t kTextWidth = 32;
constexpr size_t kFlashType = 66;
constexpr size_t kStreamVersion = 68;
constexpr size_t kSpeedOffset = 70;
constexpr size_t kCrc = 74;
constexpr size_t kBootType = 76;
} // namespace hdr

// Status texts shown by the main window.
inline constexpr const char* kStatusReady = "Press Program to start";
inline constexpr const char* kStatusNotValid = "The selected file is not a valid";
inline constexpr const char* kStatusBadVersion = "Bad stream version";
inline constexpr const char* kStatusBadFlash = "The selected file is not valid";

uint16_t Le16(const uint8_t* p);
uint32_t Le32(const uint8_t* p);

// Additive header checksum: bytes 0-69, plus 76-77 for version 2 (speed offset and crc never).
uint16_t HeaderChecksum(const HeaderBytes& h);
uint16_t StreamVersionOf(const HeaderBytes& h);
// 76 for version 1, 78 otherwise.
uint32_t HeaderLengthFor(uint16_t streamVersion);
// Text field up to its first NUL, at most 32 characters.
std::string HeaderText(const HeaderBytes& h, size_t offset);

enum class StreamCheck { Valid, Missing, Unreadable, BadVersion, BadChecksum, BadFlashType };

// Result of the header check that runs when a file is chosen and before every run.
struct HeaderCheck {
    HeaderBytes header{};  // zero beyond the bytes read; all zero when the file is missing
    size_t bytesRead = 0;
    StreamCheck outcome = StreamCheck::Missing;
    bool valid = false;
    std::string status;    // status bar text
    bool labelsKept = false; // bad version: the window's two labels keep their previous texts
    std::string softwareVersion; // set when valid, empty otherwise
    std::string productName;
};

// The check without the flash type (the window's creation-time check).
HeaderCheck CheckStreamFile(const std::string& path);

// Texts of the debug window's six numeric labels.
struct HeaderLabels {
    std::string flashType;     // "4MB", "8MB" or "unknow"
    std::string headerLength;  // "0x%X"
    std::string streamVersion; // "0x%X"
    std::string bootType;      // "0x%X" of the word at 76
    std::string speedOffset;   // "0x%04X"
    std::string crc;           // "0x%04X"
    bool flashKnown = false;
};
HeaderLabels MakeHeaderLabels(const HeaderBytes& h);

// The complete check (checksum and flash type), as a programming run needs it.
HeaderCheck CheckStreamFileFully(const std::string& path, HeaderLabels* labels = nullptr);

// Reads a whole file. False when it cannot be opened or read completely.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out);

struct StreamRecord {
    uint32_t start = 0;        // offset of the count word
    uint32_t payloadStart = 0; // start + 2
    uint32_t end = 0;          // one past the last payload byte
    uint16_t count = 0;
};

// What a walk over the records of a whole file in memory finds. Never reads past the buffer.
struct StreamWalk {
    uint32_t headerLength = 0;
    std::vector<StreamRecord> records; // complete records only
    uint64_t payloadBytes = 0;
    bool endsExactly = false;   // the last record ends exactly at the end of the buffer
    bool truncated = false;     // a count word or a payload runs past the end
    uint64_t speedWordOffset = 0;
    int speedRecord = -1;       // index of the first record whose end passes the speed word
    bool tooShort = false;      // buffer shorter than its header
};
StreamWalk WalkStream(const uint8_t* data, size_t size);

} // namespace zem
