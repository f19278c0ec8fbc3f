#include "ProgrammingRun.h"
#include "ExitCodes.h"

#include "Digest.h"
#include "Format.h"
#include "OpenChannel.h"
#include "Paths.h"
#include "Priority.h"
#include "StreamFile.h"
#include "Texts.h"
#include "Tick.h"
#include "Treport.h"

#include <algorithm>
#include <optional>

namespace zem {

namespace {
// The protocol's callback is a plain function: it reaches the run on its own thread.
thread_local ProgrammingRun* tCurrent = nullptr;
} // namespace

StreamVerdict RunEvents::CheckStream(const std::string& path) {
    HeaderCheck check = CheckStreamFileFully(path);
    Status(check.status);
    return {check.valid, check.status};
}

int ProgrammingRun::ExitCodeOf(RunEnd outcome) {
    switch (outcome) {
    case RunEnd::Programmed:
        return exitcode::kProgrammed;
    case RunEnd::StreamInvalid:
        return exitcode::kStreamInvalid;
    case RunEnd::PathTooLong:
    case RunEnd::StreamMissing:
        return exitcode::kStreamMissing;
    case RunEnd::PortNotOpened:
        return exitcode::kPortNotOpened;
    case RunEnd::NotProgrammed:
        break;
    }
    return exitcode::kNotProgrammed;
}

ProgrammingRun::ProgrammingRun(RunRequest request, RunServices services, RunEvents& events)
    : req_(std::move(request)), services_(std::move(services)), events_(events) {}

void ProgrammingRun::Abort() {
    abort_.store(true, std::memory_order_release);
    openAbort_.Raise();
    std::lock_guard lock(runnerMutex_);
    if (runner_) runner_->Abort();
}

RunResult ProgrammingRun::Finish(RunResult r) {
    r.exitCode = ExitCodeOf(r.outcome);
    r.elapsedMs = TickCountMs() - start_;
    events_.Result(r);
    return r;
}

RunResult ProgrammingRun::Execute() {
    start_ = TickCountMs();
    RunResult r;
    r.port = req_.port;
    r.stream = req_.stream;
    r.runNumber = req_.runNumber;
    r.speed = req_.speed;
    // The protocol takes the path in a 256-byte buffer; a longer one would be cut silently.
    if (req_.stream.size() > kMaxRunName) {
        events_.Status(txt::kPathTooLong);
        r.outcome = RunEnd::PathTooLong;
        r.status = txt::kPathTooLong;
        return Finish(r);
    }
    if (!FileExists(req_.stream)) {
        r.outcome = RunEnd::StreamMissing;
        r.status = r.alert = txt::kFileNotFound;
        return Finish(r);
    }
    StreamVerdict verdict = events_.CheckStream(req_.stream);
    if (!verdict.valid) {
        r.outcome = RunEnd::StreamInvalid;
        r.status = verdict.status;
        r.alert = txt::kNotValidFile;
        return Finish(r);
    }
    events_.Message(Format(txt::kLogVersion, txt::kVersion));

    // Objects built from here on name the port in their records.
    std::optional<ScopedReportPort> label;
    if (req_.labelRecords) label.emplace(req_.port);
    TChannel* channel = nullptr;
    std::string failure;
    if (req_.port.size() > kMaxRunName) {
        failure = txt::kPortTooLong;
    } else {
        ScopedOpenAbort openAbort(openAbort_);
        channel = services_.openChannel(req_.port, req_.levelCode, req_.trust, &r.cause);
        if (!channel) failure = txt::kCanNotOpen + req_.port;
    }
    // An abort that ended the open (or came while it failed) ends the run as an abort does.
    if (!channel && AbortRequested()) {
        events_.Message(Format(txt::kLogSendFailed, req_.stream.c_str()));
        events_.Status(txt::kNotProgrammed);
        r.outcome = RunEnd::NotProgrammed;
        r.status = txt::kNotProgrammed;
        r.cause.clear();
        r.aborted = true;
        return Finish(r);
    }
    if (!channel) {
        events_.Status(failure);
        r.outcome = RunEnd::PortNotOpened;
        r.status = r.alert = failure;
        return Finish(r);
    }

    std::unique_ptr<ProgramRunner> runner = services_.newRunner(
        req_.levelCode, req_.port, channel, req_.speed, &ProgrammingRun::Callback);
    {
        std::lock_guard lock(runnerMutex_);
        runner_ = runner.get();
    }
    if (!req_.dumpFile.empty()) runner->SaveDumpsTo(req_.dumpFile);
    // Hashed on this run's own thread, from the very bytes it sends: never under a lock that
    // other ports wait on.
    StreamDigest digest;
    if (req_.digest)
        runner->ObserveStream(
            [&digest, cache = req_.digestCache](const uint8_t* data, size_t size) {
                digest = cache ? cache->Of(data, size) : DigestOf(data, size);
            });
    // An abort that came before the protocol existed (a window closed during the header check).
    if (AbortRequested()) runner->Abort();
    events_.Message(txt::kLogBooting);
    events_.Status(txt::kPowerOn);
    ProgrammingRun* outer = tCurrent;
    tCurrent = this;
    bool failed = runner->Program(req_.stream);
    tCurrent = outer;
    {
        std::lock_guard lock(runnerMutex_);
        runner_ = nullptr;
    }
    // Only what this run saved: a dump left by an earlier module must not be filed under this one.
    for (const std::string& dump : runner->SavedDumps())
        if (std::find(r.dumps.begin(), r.dumps.end(), dump) == r.dumps.end())
            r.dumps.push_back(dump);
    r.answered = linked_ || runner->HeardAnswer();
    const std::string failureCause = failed ? runner->FailureCause() : std::string();
    r.streamCrc32 = digest.crc32;
    r.streamSha256 = digest.sha256;
    runner.reset();
    if (channel->IsLost()) r.lostCause = channel->LostCause();
    std::string lost = channel->IsLost()
                           ? Format(fpl::kPortLostFormat, req_.port.c_str(), channel->LostCause())
                           : std::string();
    services_.freeChannel(channel);
    label.reset();
    // A handshake that ended by abort keeps its raise; no run may leave the process raised.
    SetProcessPriorityNormal();

    if (failed) {
        // A port that went away mid-run is the operator's to fix: say which and why.
        if (!lost.empty()) events_.Message(lost);
        if (!failureCause.empty()) events_.Message("Cause: " + failureCause);
        events_.Message(Format(txt::kLogSendFailed, req_.stream.c_str()));
        events_.Status(txt::kNotProgrammed);
        r.outcome = RunEnd::NotProgrammed;
        r.status = txt::kNotProgrammed;
        r.aborted = AbortRequested();
        return Finish(r);
    }
    events_.Message(txt::kLogOk);
    r.outcome = RunEnd::Programmed;
    r.status = r.alert = txt::kProgramComplete;
    return Finish(r);
}

void ProgrammingRun::Callback(uint8_t code, int32_t value) {
    if (tCurrent) tCurrent->OnCallback(code, value);
}

void ProgrammingRun::OnCallback(uint8_t code, int32_t value) {
    if (code == kFplLinked) linked_ = true;
    if (const char* text = txt::StatusTextFor(code)) events_.Status(text);
    events_.Progress(code, value);
}

} // namespace zem
