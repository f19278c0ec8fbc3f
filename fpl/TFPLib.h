#pragma once
#include "Clock.h"
#include "TChannel.h"
#include "Treport.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Status callback: code 1..8 and a value (see the status table of the main window).
using TFPLibCallback = void (*)(uint8_t code, int32_t value);

// Bytes and waits of the wire to the boot loader.
namespace zem::fpl {
constexpr uint8_t kAckFirst = 0xA0;
constexpr uint8_t kAckLast = 0xAA; // also "acknowledged, a read-back follows"
constexpr uint8_t kAckReadBack = 0xAA;
constexpr uint8_t kSyncBoot0 = 0x55; // 'U'
constexpr uint8_t kSyncBoot3 = 0x5A; // 'Z'
constexpr uint32_t kAckWaitBoot0Ms = 50;
constexpr uint32_t kAckWaitBoot3Ms = 25;
constexpr uint32_t kBootAttempts = 1000;
constexpr uint32_t kRecordAckWaitMs = 40000;
constexpr uint32_t kReadBackIdleMs = 10000;
constexpr uint32_t kCountdownStepMs = 1000;
constexpr uint32_t kPollSleepMs = 1;
constexpr uint32_t kReadBackDataSleepMs = 5;
constexpr uint32_t kWriteStallMs = 40000; // a channel that accepts nothing this long is dead
// A quiet line: no byte for this many character times at the line's speed, and never less than
// kQuietFloorMs (what a USB adapter or a network hop may hold bytes back), nor more than
// kQuietCapMs. kQuietCapMs is also the longest delay an answer may take on its way back for
// Zem to tell whose answer it is.
constexpr uint32_t kQuietChars = 4;
constexpr uint32_t kQuietFloorMs = 5;
constexpr uint32_t kQuietCapMs = 2000;
// The end of a run whose handshake left sync bytes unanswered waits at most this long for an
// answer one record behind.
constexpr uint32_t kEndSpellCapMs = 10000;
// A diagnostic answer is read until the line has been quiet this long (an adapter or a device
// server may hold its last bytes back longer than a character time), but for no longer than
// kDiagnosticLimitMs in all.
constexpr uint32_t kDiagnosticQuietMs = 20;
constexpr uint32_t kDiagnosticLimitMs = 1000;
constexpr const char* kStartSpeedCap = "115200";
constexpr const char* kPortLostFormat = "Port %s lost: %s"; // port name, cause
constexpr long kStartSpeedCapValue = 115200;
} // namespace zem::fpl

// Status codes sent through the callback.
enum : uint8_t {
    kFplLinking = 1,
    kFplLinked = 2,
    kFplProgramming = 3,
    kFplProgrammed = 4,
    kFplReading = 5,
    kFplError = 7,
    kFplCountdown = 8,
};

// The protocol engine that talks to the module's boot loader over one channel. It never owns or
// deletes the channel. All operations run on the caller's thread; FPL_Abort may be called from
// inside the callback, or from another thread, and ends any wait in progress.
class TFPLib : public TReport {
public:
    TFPLib(int32_t levelCode, const char* portName, TChannel* channel, const char* speed,
           TFPLibCallback callback, zem::Clock* clock = nullptr);
    ~TFPLib();
    TFPLib(const TFPLib&) = delete;
    TFPLib& operator=(const TFPLib&) = delete;

    bool Program(const char* fileName); // false on success
    bool FPL_Abort();
    bool FPL_Boot(uint8_t bootType);
    bool FPL_SendStream(uint8_t* buffer, int32_t size);
    bool FPL_ReceiveData(const char* fileName);
    // Waits up to waitMs for one answer byte. An answer already in the ring always counts, even
    // when the wait has just expired. An acknowledgement (0xA0 to 0xAA) is success. Any other
    // byte is a refusal: the diagnostic bytes that follow it are read as the line delivers them
    // (a character time or more apart), each logged, until the line has been quiet for
    // kDiagnosticQuietMs (or kQuietChars character times, if longer), for at most
    // kDiagnosticLimitMs; only then
    // does it return failure, so that nothing sent next can cross an answer still arriving.
    bool WaitForACK(uint32_t waitMs, uint8_t& answer);
    static uint8_t SpeedCode(const char* speed);
    // Bytes written, 0 on failure (so an empty dump cannot be told from a failure here).
    int32_t SaveBuffer(const uint8_t* data, uint32_t length, const char* fileName);
    void Notify(uint8_t code, int32_t value);
    void StartTimeout(uint32_t ms);
    bool TimedOut();

    // Dump file name for a port: its first 64 characters, "_Read.bin", and every character that
    // cannot stand in a file name replaced by "_".
    static std::string DumpFileName(const std::string& portName);
    // Dump files this object saved, in order: a file of the same name left by an earlier run is
    // never taken for one of them.
    const std::vector<std::string>& SavedDumps() const { return savedDumps; }
    // Where read-backs are saved instead of DumpFileName(portName): a station gives each port a
    // name of its own. Empty: the port's own name. With a name given, each read-back of a run
    // has a file of its own: the second "NAME.2.EXT", and so on.
    void SetDumpFile(std::string fileName) { dumpFile = std::move(fileName); }
    // Called with the stream exactly as Program loaded it, before the handshake, on the caller's
    // thread: what a record of the run says was sent.
    void SetStreamObserver(std::function<void(const uint8_t* data, size_t size)> observer) {
        streamObserver = std::move(observer);
    }
    // Some byte came back from the module since construction: something is on the line.
    bool HeardAnswer() const { return heardAnswer; }
    // The last run failed because an answer came that no record was waiting for: the loader's
    // answers were not the records' own.
    bool AnswersOutOfStep() const { return outOfStep; }

private:
    friend struct TFPLibTestPeer;

    bool FailRun(const std::string& message); // Fail, callback 7, failure
    // True once the channel has lost its link; the first time, a Fail record names port and cause.
    bool LinkLost();
    // How long a wait may block now: until the timed wait expires or its next countdown report.
    uint32_t WaitBudget();
    enum class Await { kRx, kTxRoom };
    // One bounded wait on the channel; true, without waiting, once the run is aborted or the link
    // lost. Runs the thread's wait pump when it is due.
    bool WaitOrStop(Await what, uint32_t pollMs);
    bool WaitOrStopFor(Await what, uint32_t pollMs, uint32_t budgetMs);
    enum class Answer { kNone, kAck, kRefusal };
    // Takes one answer byte if one is there; a refusal's diagnostic bytes are read with it.
    Answer TakeAnswer(uint8_t& answer, const char* what = "WaitForACK");
    void ReadDiagnostic();
    enum class Quiet { kQuiet, kByte, kStopped };
    // Until a byte is in the ring (left there), the line has been quiet for quietMs, or the run
    // is aborted or its link lost.
    Quiet WaitQuiet(uint32_t quietMs);
    // How long the line must be silent to count as quiet now, at least atLeastMs.
    uint32_t QuietSpellMs(uint32_t atLeastMs) const;
    // After the link: the answers still due to earlier sync bytes, read before record 1.
    bool TakeSurplusAnswers();
    void NoteSyncSent();
    bool SaveDump(const uint8_t* data, uint32_t length, const char* fileName);
    std::string NextDumpName() const;
    void SetPriority(bool high);

    std::atomic<bool> inited{false};
    std::atomic<bool> abortRequest{false};
    TFPLibCallback callback = nullptr;
    uint32_t timerStart = 0;
    uint32_t lastNotify = 0;
    uint32_t timeoutMs = 0;
    std::string portName;
    char requestedSpeed[32] = "";
    TChannel* channel = nullptr;
    zem::Clock* clock = nullptr;
    bool priorityHigh = false; // what this object last asked of the process priority
    bool lostReported = false;
    std::vector<std::string> savedDumps;
    std::string dumpFile;
    std::function<void(const uint8_t*, size_t)> streamObserver;
    bool heardAnswer = false;
    bool outOfStep = false;
    uint32_t lineSpeed = 115200; // bit/s now, for character times
    // The handshake's books: sync bytes sent and answers heard, when the last sync byte left,
    // the longest gap between two sync bytes, and the longest an answer took after the last
    // sync byte before it (a lower bound of the line's round trip).
    bool handshaking = false;
    uint32_t syncSent = 0;
    uint32_t answersHeard = 0;
    uint32_t slowestAnswerMs = 0;
    // Every sync byte was answered by the time record 1 went: the answers are in step. Otherwise
    // some went unanswered (a loader still off, or answers still on their way), and the end of
    // the run waits long enough for an answer one record behind.
    bool syncAnswersComplete = false;
    // The longest a record waited for its answer, from its first byte handed to the channel.
    uint32_t longestRecordCycleMs = 0;
    static constexpr size_t kSyncTimesKept = 16;
    uint32_t syncTimes[kSyncTimesKept] = {}; // when the last sync bytes left, a ring
    // The longest gap between the last sync bytes: surplus answers come as far apart.
    uint32_t RecentSyncGapMs() const;
};
