#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Stream file: a 76-byte (version 1) or 78-byte (version 2) little-endian header, then records of
// a 16-bit count N followed by N + 1 payload bytes, laid end to end up to the end of the file.
// Everything here is independent of any window; the front ends only display the results.
namespace zem {

constexpr size_t kHeaderReadSize = 78;
// The protocol takes a stream's size as a signed 32-bit count; nothing larger can be programmed.
constexpr uint64_t kMaxStreamSize = 0x7FFFFFFF;
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

enum class StreamCheck {
    Valid,
    Missing,
    Unreadable,
    BadVersion,
    BadChecksum,
    BadFlashType,
    BadRecords, // the records do not end exactly at the end of the file
};

// Result of the header check that runs when a file is chosen and before every run.
struct HeaderCheck {
    HeaderBytes header{}; // zero beyond the bytes read; all zero when the file is missing
    size_t bytesRead = 0;
    StreamCheck outcome = StreamCheck::Missing;
    bool valid = false;
    std::string status;          // status bar text
    bool labelsKept = false;     // bad version: the window's two labels keep their previous texts
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

// The complete check (checksum, flash type and the records ending exactly at the end of the file),
// as a programming run needs it. A file that fails only on its records keeps its labels.
HeaderCheck CheckStreamFileFully(const std::string& path, HeaderLabels* labels = nullptr);
// The records part of the complete check: at least one record, and the last ends exactly at the
// end of the file.
bool StreamRecordsEndExactly(const std::string& path);

// Reads a whole regular file. False when it cannot be opened, is not a regular file, is larger
// than maxSize, cannot be held in memory or cannot be read completely.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out,
                   uint64_t maxSize = kMaxStreamSize);

struct StreamRecord {
    uint64_t start = 0;        // offset of the count word
    uint64_t payloadStart = 0; // start + 2
    uint64_t end = 0;          // one past the last payload byte
    uint16_t count = 0;
};

// Where a stream's bytes come from: a buffer in memory, or a file read through a small window.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual uint64_t Size() const = 0;
    // Copies n bytes from offset; false when they are not all there or cannot be read.
    virtual bool ReadAt(uint64_t offset, uint8_t* out, size_t n) = 0;
};

class MemorySource final : public ByteSource {
public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint64_t Size() const override { return size_; }
    bool ReadAt(uint64_t offset, uint8_t* out, size_t n) override;

private:
    const uint8_t* data_;
    size_t size_;
};

// A regular file read in 64 KiB windows, so a walk over it needs no more memory than that.
class FileSource final : public ByteSource {
public:
    static constexpr size_t kWindowSize = 64 * 1024;
    // windowSize: bytes read at a time (tests use small windows to cross their edges often).
    explicit FileSource(const std::string& path, size_t windowSize = kWindowSize);
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    bool Opened() const { return file_ != nullptr; }
    uint64_t Size() const override { return size_; }
    bool ReadAt(uint64_t offset, uint8_t* out, size_t n) override;

private:
    std::FILE* file_ = nullptr;
    uint64_t size_ = 0;
    size_t windowSize_;
    std::vector<uint8_t> window_;
    uint64_t windowStart_ = 0;
};

// The records of a stream, in file order from the end of the header. It is the one reading of
// the record layout: the check, the walker and the protocol's send loop all go through it, so
// they cannot disagree. It never reads past the end: a count word or a payload that runs past it
// ends the walk as truncated.
class RecordIterator {
public:
    RecordIterator(ByteSource& source, uint64_t headerLength);
    // The next whole record; false at the end, at a cut record or on a read error.
    bool Next(StreamRecord& record);
    uint64_t Position() const { return pos_; } // next record (the cut one when truncated)
    bool Truncated() const { return truncated_; }
    // The end the cut record's count claims; 0 when the count word itself is cut.
    uint64_t ClaimedEnd() const { return claimedEnd_; }
    bool ReadError() const { return readError_; }
    // The walk is over and the last record ended exactly at the end of the source.
    bool EndedExactly() const { return !truncated_ && !readError_ && pos_ == source_.Size(); }

private:
    ByteSource& source_;
    uint64_t pos_;
    uint64_t claimedEnd_ = 0;
    bool truncated_ = false;
    bool readError_ = false;
};

// Header length of a source from its Stream Version; 0 when the source is shorter than it.
uint32_t HeaderLengthOf(ByteSource& source);

// What a walk over the records of a whole stream finds.
struct StreamWalk {
    uint32_t headerLength = 0;
    std::vector<StreamRecord> records; // complete records, when asked to keep them
    uint64_t recordCount = 0;          // complete records
    uint64_t payloadBytes = 0;
    uint64_t size = 0;
    bool endsExactly = false; // at least one record, and the last ends exactly at the end
    bool truncated = false;   // a count word or a payload runs past the end
    uint64_t cutAt = 0;       // offset of the record that runs past the end
    bool readError = false;   // the file could not be read to its end
    uint64_t speedWordOffset = 0;
    int64_t speedRecord = -1; // index of the first record whose end passes the speed word
    bool tooShort = false;    // shorter than its header
    bool tooLarge = false;    // larger than any stream can be; not walked
};
StreamWalk WalkStream(ByteSource& source, bool keepRecords);
StreamWalk WalkStream(const uint8_t* data, size_t size);
// Walks a file without holding it or its records in memory. False when it cannot be opened.
// A file above kMaxStreamSize is not walked (tooLarge).
bool WalkStreamFile(const std::string& path, StreamWalk& walk);

} // namespace zem
