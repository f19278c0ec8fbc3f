#pragma once
#include "StreamFile.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace zem::sim {

// A negative answer: the byte, then the diagnostic bytes that follow it.
struct Nack {
    uint8_t byte = 0x41;
    std::vector<uint8_t> diag;
};

// A read-back block sent after a 0xAA answer: 4 length bytes (N), N words, the check word, then
// (unless `ack` is false) one acknowledgement byte.
struct ReadBack {
    uint32_t words = 0;
    std::vector<uint16_t> data; // the words; missing ones are generated
    bool badCheck = false;      // send a check word that does not match
    uint32_t lengthGapMs = 0;   // pause before each length byte after the first
    int64_t sendBytes = -1;     // send only the first bytes of the block (-1: all of it)
    bool ack = true;
};

// How the simulated boot loader behaves. Records are numbered from 1 in file order.
struct SimOptions {
    uint32_t skipSync = 0; // sync bytes ignored before the first answer
    uint32_t nackSync = 0; // then this many answered with syncNack
    Nack syncNack{0x41, {0x01, 0x02}};
    uint8_t ack = 0xA5; // answer to a record
    int linkAck = -1;   // answer to the sync byte; -1: `ack`
    int syncByte = -1;  // -1: 0x5A for boot type 3, else 0x55
    std::map<uint32_t, ReadBack> readBacks;
    std::map<uint32_t, Nack> nacks;
    bool silentHandshake = false; // never answers a sync byte
    uint32_t silentFrom = 0;      // records from this one on get no answer (0: never)
    uint32_t stallRecord = 0;     // stop taking bytes inside this record (0: never) ...
    uint32_t stallAfter = 0;      // ... once this many of its bytes were taken
    uint32_t flashLatencyMs = 0;  // delay of each record's answer
    // A line as far devices have it: every answer (to sync bytes and records alike) leaves this
    // much after what it answers, so a slow line's answers can come after the host's wait.
    uint32_t answerDelayMs = 0;
    // Bytes of one short answer (an acknowledgement, a refusal and its diagnostic bytes) leave
    // this far apart, as a UART sends them, instead of all at once. Read-back data is not spread.
    uint32_t answerByteGapMs = 0;
    // Once linked, sync bytes that come before any record data are answered too (a loader that
    // answers every sync byte until record data comes), unless record 1 itself begins with the
    // sync byte. Otherwise they are taken as record data.
    bool syncUntilData = false;
    int expectSpeedWord = -1; // value the speed word must arrive with; -1: not checked
};

// A payload byte that differs from the file makes the loader answer with this NACK.
constexpr uint8_t kMismatchNack = 0x45;

struct RecordSeen {
    uint32_t number = 0;       // 1-based
    uint32_t payloadStart = 0; // file offset
    uint32_t length = 0;       // payload bytes expected
    uint32_t received = 0;
    uint32_t speed = 0; // line speed when its first byte arrived
    uint32_t firstMs = 0;
    uint32_t lastMs = 0;
    bool match = true;
    int64_t firstMismatch = -1; // file offset
    int answer = -1;            // first answer byte, -1 while unanswered
};

// The module's boot loader, without any transport: bytes from the host go in through Receive,
// answers come out through TakeOutput when they are due. Time is whatever the caller says it is
// (milliseconds, wrapping as 32 bits). Not thread-safe; one owner drives it.
class BootSim {
public:
    BootSim(std::vector<uint8_t> stream, SimOptions options);

    bool StreamUsable() const { return usable_; }
    const std::string& StreamProblem() const { return problem_; }

    // Takes host bytes at `nowMs` on a line running at `lineSpeed`. Returns how many it took:
    // all of them, unless told to stall.
    size_t Receive(const uint8_t* data, size_t n, uint32_t nowMs, uint32_t lineSpeed);
    // Moves up to `max` answer bytes due at `nowMs` into `out`.
    size_t TakeOutput(uint8_t* out, size_t max, uint32_t nowMs);
    bool NextDue(uint32_t& dueMs) const;
    // Sends `b` at `dueMs` after whatever is queued, outside the loader's own answers.
    void Inject(uint8_t b, uint32_t dueMs) { Queue(b, dueMs); }

    // The run is over (every record answered, or a failure answered) and the answers are out.
    bool Over() const { return over_ && out_.empty(); }
    // Every record of the stream arrived byte for byte (and the speed word as expected).
    bool Passed() const;
    const std::string& Outcome() const { return outcome_; }

    bool Linked() const { return linked_; }
    uint8_t SyncByte() const { return sync_; }
    uint32_t SyncBytes() const { return static_cast<uint32_t>(syncTimes_.size()); }
    // Sync bytes answered after the link, before record data (with syncUntilData).
    uint32_t SyncAfterLink() const { return syncAfterLink_; }
    const std::vector<uint32_t>& SyncTimes() const { return syncTimes_; }
    uint32_t NoiseBytes() const { return noise_; }
    uint32_t ExtraBytes() const { return extra_; }
    uint64_t BytesReceived() const { return bytesIn_; }
    uint32_t ReadBacksSent() const { return readBacksSent_; }
    // The words of the last read-back block sent whole (a dump saved from it must hold exactly
    // these); empty before any.
    const std::vector<uint16_t>& LastWholeReadBack() const { return lastReadBack_; }
    // The word counts of the read-back blocks sent whole, in order.
    const std::vector<uint32_t>& WholeReadBackSizes() const { return wholeReadBackSizes_; }
    const std::vector<RecordSeen>& Records() const { return seen_; }
    size_t RecordCount() const { return walk_.records.size(); }
    const StreamWalk& Walk() const { return walk_; }
    bool SpeedWordSeen() const { return speedSeenMask_ == 3; }
    uint16_t SpeedWordValue() const { return speedSeen_; }

    // One-line JSON summary; `extra` is inserted as further members (e.g. "\"reason\":\"x\"").
    std::string SummaryJson(const std::string& extra = "") const;

private:
    void Queue(uint8_t b, uint32_t due);
    // One short answer: leaves answerDelayMs after `now`, its bytes answerByteGapMs apart.
    void QueueAnswer(std::initializer_list<uint8_t> first, const std::vector<uint8_t>& rest,
                     uint32_t now);
    void QueueReadBack(const ReadBack& rb, uint32_t due);
    void HandshakeByte(uint8_t b, uint32_t now);
    void RecordDone(uint32_t now);
    void Check(RecordSeen& r, const uint8_t* got, uint64_t at, size_t len);

    std::vector<uint8_t> stream_;
    SimOptions opt_;
    StreamWalk walk_;
    bool usable_ = false;
    std::string problem_;
    uint8_t sync_ = 0x55;

    bool linked_ = false;
    bool over_ = false;
    bool silent_ = false;
    std::string outcome_ = "waiting";
    std::vector<uint32_t> syncTimes_;
    uint32_t syncAnswered_ = 0;
    uint32_t syncAfterLink_ = 0;
    uint32_t noise_ = 0;
    uint32_t extra_ = 0;
    uint64_t bytesIn_ = 0;
    uint32_t readBacksSent_ = 0;
    std::vector<uint16_t> lastReadBack_;
    std::vector<uint32_t> wholeReadBackSizes_;
    size_t current_ = 0; // index of the record being received
    std::vector<RecordSeen> seen_;
    uint16_t speedSeen_ = 0;
    int speedSeenMask_ = 0;
    bool speedWordBad_ = false;

    struct Out {
        uint8_t byte;
        uint32_t due;
    };
    std::deque<Out> out_;
};

} // namespace zem::sim
