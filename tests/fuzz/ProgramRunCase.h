#pragma once
// One programming run as the fuzz target plays it, decoded from the input in this one place and
// read from the front: a fixed header of options, the payload sizes, then the loader's faults one
// after another. Running out of input at any point means "no further fault": an empty input is a
// clean run of one record, and a fault that is cut short is left out.
//
// Header (8 bytes)
//   0  mode bits: 0x01 raw (the rest of the input is the stream file itself), 0x02 stream version
//      1, 0x04 boot type 3, 0x08 a byte after the last record, 0x10 the channel refuses the
//      requested speed, 0x20 the dump cannot be renamed into place, 0x40 the Speed Offset field
//      is taken from 4 further bytes (anywhere, often outside the file), 0x80 the dump's
//      temporary file cannot be created
//   1  speed: index into kSpeeds
//   2  records: 1 + (byte % 8)
//   3  the record that holds the speed word: 1 + (byte % records)
//   4  the answer to the sync byte, 5 the answer to a record (AnswerByte)
//   6  handshake: bits 0-1 sync bytes ignored, bits 2-3 sync bytes refused, 0xFF never answers
//   7  the loader's flash latency (LatencyMs)
// Then one byte per record (PayloadSize), then 4 bytes of Speed Offset when asked for, then the
// faults, each an opcode byte and its operands (FaultOp). Besides the loader's faults, these set
// how the caller and the machine behave: the port's name, a station's own dump name and stream
// observer, no status callback, a window's wait pump, a link lost at any moment, the process held
// up between two readings of the clock, a full disk under the dump.
#include "BootSim.h"
#include "StreamBuilder.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zem::fuzz {

// Null stands for a caller that gives no speed text at all.
inline const char* const kSpeeds[] = {"115200", "921600",  "57600", "9600", "230400",
                                      "460800", "38400",   "19200", "1000", "",
                                      "abc",    "4000000", " 9600", "-5",   "99999999999999999999",
                                      "+9600",  nullptr};
constexpr size_t kSpeedCount = sizeof kSpeeds / sizeof kSpeeds[0];

// Ports as callers name them; null for none. The dump file's name is made from them.
inline const char* const kPorts[] = {
    "COM1",
    nullptr,
    "/dev/ttyUSB0",
    "tcp://10.0.0.7:4001",
    "\\\\.\\COM12",
    "COM<3>|\"*?",
    "rfc2217://modem-rack.example.org:7001/bay-12/slot-4/a-name-longer-than-a-dump-name-keeps"};
constexpr size_t kPortCount = sizeof kPorts / sizeof kPorts[0];

enum Mode : uint8_t {
    kRaw = 0x01,
    kVersion1 = 0x02,
    kBootType3 = 0x04,
    kTrailingByte = 0x08,
    kRefuseSpeed = 0x10,
    kDumpNotRenamed = 0x20,
    kSpeedOffsetGiven = 0x40,
    kDumpNotCreated = 0x80,
};

enum FaultOp : uint8_t {
    kNack = 0,              // record, byte, diagnostic count, diagnostic bytes
    kReadBack = 1,          // record, size class, flags (ReadBackFlags), [cut length]
    kSilentFrom = 2,        // record
    kStall = 3,             // record, bytes taken before the stall
    kAbortAt = 4,           // 2 bytes: the callback at which the operator aborts
    kLoseLink = 5,          // 2 bytes: bytes the loader takes before the link is lost
    kSyncNack = 6,          // byte, diagnostic count, diagnostic bytes
    kReadBackWords = 7,     // record, word count (byte % 8), the words (2 bytes each)
    kFileGone = 8,          // 1 byte (unused): the stream file is removed after the window's check
    kPortName = 9,          // index into kPorts
    kStation = 10,          // 1 byte (unused): a dump name of its own and a stream observer
    kNoCallback = 11,       // 1 byte (unused): the caller gives no status callback
    kWaitPump = 12,         // the pump's run at which the operator closes the window (0: never)
    kLoseLinkAtStatus = 13, // 2 bytes: the status callback at which the link is lost
    kClockPause = 14,       // 2 bytes: the clock reading held up, 1 byte: for that times 250 ms
    kDiskFull = 15,         // 1 byte (unused): the dump's temporary file is on a full disk
    kLineTiming = 16,       // round trip (AnswerDelayMs), byte gap (% 4 ms), 1 byte: bit 0 the
                            // loader answers sync bytes until record data comes
    kFaultOps = 17,
};

enum ReadBackFlags : uint8_t {
    kBadCheck = 0x01,
    kNoAck = 0x02,
    kCut = 0x04,        // only the first (next byte) bytes of the block are sent
    kSlowLength = 0x08, // 11 s between the length bytes: the first idle time-out
    kGapLength = 0x10,  // 9 s between the length bytes: no time-out
};

// The answer byte: mostly an acknowledgement, now and then 0xAA, rarely a refusal.
inline uint8_t AnswerByte(uint8_t b) {
    if (b < 0xE8) return static_cast<uint8_t>(0xA0 + (b * 7 + 5) % 10); // 0 gives 0xA5
    if (b < 0xF4) return 0xAA;
    const uint8_t nack = static_cast<uint8_t>(b * 37);
    return nack >= 0xA0 && nack <= 0xAA ? 0x41 : nack;
}

// Refusals and the bytes after them never take an acknowledgement's value: the loader would
// otherwise say "yes" while believing it said "no".
inline uint8_t NotAnAck(uint8_t b) {
    return b >= 0xA0 && b <= 0xAA ? static_cast<uint8_t>(b ^ 0x40) : b;
}

inline uint32_t LatencyMs(uint8_t b) {
    if (b < 0xF0) return b / 16u;     // a few milliseconds
    return (b - 0xF0u) * 4000u + 100; // up to a minute: past the 40 s answer wait
}

// A line's round trip: mostly inside the handshake's wait, else later than it, up to
// about one and a half seconds (a far device server).
inline uint32_t AnswerDelayMs(uint8_t b) {
    if (b < 0x80) return b / 4u;
    return (b - 0x80u) * 12u;
}

inline uint32_t PayloadSize(uint8_t b) {
    if (b < 0xF0) return 2u + b % 48u; // small records, most runs
    if (b < 0xFE) return 200u + (b - 0xF0u) * 97u;
    return b == 0xFE ? 16383u : 20000u; // the ring's size, and more than it holds
}

// Words of a read-back: mostly a handful, sometimes thousands, rarely an empty block or one too
// large to hold (the loader then sends only its start).
constexpr uint32_t kTooLargeBlock = 0x80000000u;
inline uint32_t ReadBackWords(uint8_t b) {
    if (b < 0xC0) return 1u + b % 16u;
    if (b < 0xFC) return 64u * (b - 0xBFu);
    if (b == 0xFC) return 0u;
    return b == 0xFD ? kTooLargeBlock : 40000u;
}

struct ProgramRunCase {
    uint8_t mode = 0;
    const char* speed = kSpeeds[0]; // may be null
    const char* port = kPorts[0];   // may be null
    zem::sim::StreamLayout layout;
    std::vector<uint8_t> rawImage;
    zem::sim::SimOptions sim;
    uint32_t abortAtCallback = 0; // 0: never
    uint32_t loseLinkAfter = 0;   // 0: never
    bool fileGone = false;
    bool station = false;
    bool noCallback = false;
    bool waitPump = false;
    uint32_t closeAtPumpRun = 0;   // 0: never
    uint32_t loseLinkAtStatus = 0; // 0: never
    uint64_t pauseAtReading = 0;   // 0: never
    uint32_t pauseMs = 0;
    bool diskFull = false;
    bool faulty = false; // any fault that may rightly end the run in failure

    bool Raw() const { return mode & kRaw; }
    // What the run makes of the speed text: none is the same as an empty one.
    const char* SpeedText() const { return speed ? speed : ""; }
};

class FrontReader {
public:
    FrontReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    bool Has(size_t n) const { return size_ - pos_ >= n; }
    uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | U8() << 8); }
    uint32_t U32() { return U16() | static_cast<uint32_t>(U16()) << 16; }
    std::vector<uint8_t> Rest() {
        std::vector<uint8_t> v(data_ + pos_, data_ + size_);
        pos_ = size_;
        return v;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

inline zem::sim::Nack ReadNack(FrontReader& in, uint8_t byte) {
    zem::sim::Nack n;
    n.byte = NotAnAck(byte);
    for (uint8_t k = in.U8() % 5; k > 0 && !in.Empty(); --k)
        n.diag.push_back(NotAnAck(in.U8()));
    return n;
}

inline ProgramRunCase DecodeProgramRun(const uint8_t* data, size_t size) {
    FrontReader in(data, size);
    ProgramRunCase c;
    c.mode = in.U8();
    c.speed = kSpeeds[in.U8() % kSpeedCount];
    const uint32_t records = 1 + in.U8() % 8;
    const uint32_t speedRecord = 1 + in.U8() % records;
    const uint8_t linkAnswer = AnswerByte(in.U8());
    const uint8_t recordAnswer = AnswerByte(in.U8());
    const uint8_t handshake = in.U8();
    c.sim.flashLatencyMs = LatencyMs(in.U8());

    c.sim.linkAck = linkAnswer;
    c.sim.ack = recordAnswer;
    if (handshake == 0xFF) {
        c.sim.silentHandshake = true;
    } else {
        c.sim.skipSync = handshake & 3;
        c.sim.nackSync = (handshake >> 2) & 3;
    }
    const bool linkIsAck = linkAnswer >= 0xA0 && linkAnswer <= 0xAA;
    c.faulty = c.sim.silentHandshake || !linkIsAck || recordAnswer < 0xA0 || recordAnswer > 0xA9 ||
               c.sim.flashLatencyMs >= 40000 || (c.mode & (kRefuseSpeed | kTrailingByte));
    if (c.Raw()) {
        c.rawImage = in.Rest();
        c.faulty = true; // whatever the bytes are
        return c;
    }

    c.layout.version = c.mode & kVersion1 ? 1 : 2;
    c.layout.bootType = c.mode & kBootType3 ? 3 : 0;
    for (uint32_t i = 0; i < records; ++i)
        c.layout.payloadSizes.push_back(PayloadSize(in.U8()));
    c.layout.speedRecord = speedRecord;
    if (c.mode & kSpeedOffsetGiven) {
        c.layout.speedRecord = 0;
        c.layout.speedOffset = in.U32();
    }
    c.layout.trailingBytes = c.mode & kTrailingByte ? 1 : 0;
    c.layout.seed = records * 7919u + static_cast<uint32_t>(size);

    while (in.Has(2)) {
        const uint8_t op = in.U8() % kFaultOps;
        switch (op) {
        case kNack: {
            const uint32_t r = 1 + in.U8() % records;
            c.sim.nacks[r] = ReadNack(in, in.U8());
            c.faulty = true;
            break;
        }
        case kReadBack:
        case kReadBackWords: {
            const uint32_t r = 1 + in.U8() % records;
            zem::sim::ReadBack rb;
            if (op == kReadBackWords) {
                rb.words = in.U8() % 8;
                for (uint32_t w = 0; w < rb.words && in.Has(2); ++w)
                    rb.data.push_back(in.U16());
            } else {
                rb.words = ReadBackWords(in.U8());
                const uint8_t flags = in.U8();
                rb.badCheck = flags & kBadCheck;
                rb.ack = !(flags & kNoAck);
                if (flags & kCut) rb.sendBytes = in.U8();
                if (rb.words == kTooLargeBlock) {
                    rb.sendBytes = 16;
                    c.faulty = true;
                }
                if (flags & kSlowLength)
                    rb.lengthGapMs = 11000;
                else if (flags & kGapLength)
                    rb.lengthGapMs = 9000;
                if (rb.badCheck || !rb.ack || (flags & (kCut | kSlowLength))) c.faulty = true;
            }
            c.sim.readBacks[r] = rb;
            break;
        }
        case kSilentFrom:
            c.sim.silentFrom = 1 + in.U8() % records;
            c.faulty = true;
            break;
        case kStall:
            c.sim.stallRecord = 1 + in.U8() % records;
            c.sim.stallAfter = in.U8();
            c.faulty = true;
            break;
        case kAbortAt:
            c.abortAtCallback = 1 + in.U16() % 4096;
            c.faulty = true;
            break;
        case kLoseLink:
            c.loseLinkAfter = 1 + in.U16();
            c.faulty = true;
            break;
        case kSyncNack:
            c.sim.syncNack = ReadNack(in, in.U8());
            break;
        case kFileGone:
            (void)in.U8();
            c.fileGone = true;
            c.faulty = true;
            break;
        case kPortName:
            c.port = kPorts[in.U8() % kPortCount];
            break;
        case kStation:
            (void)in.U8();
            c.station = true;
            break;
        case kNoCallback:
            (void)in.U8();
            c.noCallback = true;
            break;
        case kWaitPump:
            c.waitPump = true;
            c.closeAtPumpRun = in.U8();
            if (c.closeAtPumpRun) c.faulty = true;
            break;
        case kLoseLinkAtStatus:
            c.loseLinkAtStatus = 1 + in.U16() % 4096;
            c.faulty = true;
            break;
        case kClockPause:
            c.pauseAtReading = 1 + in.U16();
            c.pauseMs = in.U8() * 250u;
            // A late answer can rightly end a handshake or a record wait.
            c.faulty = true;
            break;
        case kDiskFull:
            (void)in.U8();
            c.diskFull = true;
            break;
        case kLineTiming: {
            c.sim.answerDelayMs = AnswerDelayMs(in.U8());
            c.sim.answerByteGapMs = in.U8() % 4u;
            c.sim.syncUntilData = (in.U8() & 1) != 0;
            // A loader that takes a sync byte sent after its answer left as record data can
            // never be in step with the programmer once its answers come after the wait.
            if (!c.sim.syncUntilData && c.sim.answerDelayMs > 20) c.faulty = true;
            // Answers late enough to cross the 40 s record wait, and delays past what the
            // programmer waits for when it sorts answers out.
            if (c.sim.answerDelayMs + c.sim.flashLatencyMs >= 40000) c.faulty = true;
            break;
        }
        }
    }
    // A dump that cannot be saved fails only a run that has one to save.
    if ((c.mode & (kDumpNotRenamed | kDumpNotCreated) || c.diskFull) && !c.sim.readBacks.empty())
        c.faulty = true;
    // A Speed Offset from the input may point into a count word, which the patch then changes.
    if (c.mode & kSpeedOffsetGiven) c.faulty = true;
    return c;
}

// The writer of seeds: the header, the payload size bytes and the faults, in the decoder's order.
struct SeedWriter {
    std::vector<uint8_t> bytes;
    SeedWriter& Header(uint8_t mode, uint8_t speedIndex, uint8_t records, uint8_t speedRecord,
                       uint8_t linkAnswer = 0, uint8_t recordAnswer = 0, uint8_t handshake = 0,
                       uint8_t latency = 0) {
        bytes = {mode,
                 speedIndex,
                 static_cast<uint8_t>(records - 1),
                 static_cast<uint8_t>(speedRecord - 1),
                 linkAnswer,
                 recordAnswer,
                 handshake,
                 latency};
        return *this;
    }
    SeedWriter& Put(std::initializer_list<uint8_t> more) {
        bytes.insert(bytes.end(), more);
        return *this;
    }
};

} // namespace zem::fuzz
