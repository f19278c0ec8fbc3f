#pragma once
#include "Digest.h"
#include "ExitCodes.h"
#include "RunServices.h"
#include "Wake.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace zem {

// Longest stream file path and port name the protocol's buffers take.
inline constexpr size_t kMaxRunName = 255;

struct RunRequest {
    std::string stream;
    std::string port;
    std::string speed;
    int32_t levelCode = 0; // 20 with the trace on, else 0
    // 0: a run of its own. Otherwise its number on this port in this station.
    unsigned runNumber = 0;
    // Name the port in LocalLog.txt's records (runs side by side).
    bool labelRecords = false;
    TlsTrust trust = {}; // for a tls:// port
    // Where read-backs are saved; empty: the protocol's own name for the port.
    std::string dumpFile = {};
    // CRC-32 and SHA-256 of the stream as loaded for the run (a results log records them).
    bool digest = false;
    // Where runs that load the same stream share its digest; null: each run hashes its own.
    DigestCache* digestCache = nullptr;
};

enum class RunEnd {
    Programmed,    // 0
    NotProgrammed, // 7, the transfer failed or was aborted
    PathTooLong,   // 4
    StreamMissing, // 4
    StreamInvalid, // 3
    PortNotOpened, // 5
};

struct RunResult {
    RunEnd outcome = RunEnd::NotProgrammed;
    int exitCode = exitcode::kNotProgrammed;
    bool aborted = false; // an abort was asked for before the run ended
    std::string status;   // what the run ends with
    std::string alert;    // what the operator is told at the end; empty for nothing
    std::string cause;    // why the port did not open, in the system's words; empty when unknown
    std::string port;
    std::string stream;
    unsigned runNumber = 0;
    std::string speed;
    uint32_t elapsedMs = 0;
    std::vector<std::string> dumps; // files written by this run
    // The boot loader answered (linked, or refused a sync byte): a module was there. A handshake
    // that heard nothing at all only found the port empty.
    bool answered = false;
    std::string lostCause;    // the port went away during the run: why, in words
    std::string failure;      // a station's failed module: why, in words; empty when unknown
    std::string streamCrc32;  // of the stream as this run loaded it; empty when not asked for
    std::string streamSha256; // likewise
    std::string runId;        // UUID given when the run began; names its result everywhere
};

// Why a run did not program its module, whatever the kind: the port lost, the port not opened, or
// the module's own failure; empty when it was programmed or nobody knows.
inline const std::string& WhyNotProgrammed(const RunResult& r) {
    return !r.lostCause.empty() ? r.lostCause : !r.cause.empty() ? r.cause : r.failure;
}

// The stream file's check before the port is opened.
struct StreamVerdict {
    bool valid = false;
    std::string status;
};

// What a run tells its front end. All calls come from the thread that runs Execute.
class RunEvents {
public:
    virtual ~RunEvents() = default;
    virtual void Status(const std::string& text) = 0;
    // Every protocol callback, after its status text (if it has one) went to Status.
    virtual void Progress(int code, int32_t value) = 0;
    virtual void Message(const std::string& line) = 0; // the run's log lines
    virtual void Result(const RunResult& result) = 0;
    // The header check; by default the whole file is checked and its verdict shown as status.
    virtual StreamVerdict CheckStream(const std::string& path);
};

// One programming run: stream check, channel by port name, protocol, outcome. Toolkit-free; the
// window logic, zemcli and the gang runner drive it.
class ProgrammingRun {
public:
    ProgrammingRun(RunRequest request, RunServices services, RunEvents& events);
    ProgrammingRun(const ProgrammingRun&) = delete;
    ProgrammingRun& operator=(const ProgrammingRun&) = delete;

    // The whole run, on the calling thread; the result also goes to RunEvents::Result.
    RunResult Execute();
    // From any thread, at any time: the protocol stops at its next check (at once if it has not
    // started yet) and the run ends as not programmed.
    void Abort();
    bool AbortRequested() const { return abort_.load(std::memory_order_acquire); }

    // Exit code of an outcome.
    static int ExitCodeOf(RunEnd outcome);

private:
    static void Callback(uint8_t code, int32_t value);
    void OnCallback(uint8_t code, int32_t value);
    RunResult Finish(RunResult r);

    RunRequest req_;
    RunServices services_;
    RunEvents& events_;
    std::atomic<bool> abort_{false};
    WakeLatch openAbort_;    // raised with abort_: ends the waits of a network port's open
    std::mutex runnerMutex_; // Abort from another thread meets the runner's creation and end
    ProgramRunner* runner_ = nullptr;
    uint32_t start_ = 0;
    bool linked_ = false;
};

} // namespace zem
