#include "ProgramRun.h"

#include "Format.h"
#include "OpenChannel.h"
#include "Paths.h"
#include "StreamFile.h"
#include "TFPLib.h"
#include "Texts.h"
#include "Tick.h"
#include "Wake.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace zem::cli {

namespace {

// The protocol's callback is a plain function; the run in progress is reached through these.
Reporter* gReporter = nullptr;
TFPLib* gFpl = nullptr;
std::mutex gFplMutex; // the watcher's hold on gFpl while it aborts
std::atomic<bool> gInterrupted{false};
zem::WakeEvent* gSignalWake = nullptr;

// Longest stream file path and port name the protocol's buffers take.
constexpr size_t kMaxText = 255;

void OnStatus(uint8_t code, int32_t value) {
    if (const char* text = txt::StatusTextFor(code); text && gReporter) {
        gReporter->Status(text);
        if (code <= 7) gReporter->Progress(code, value);
    }
    // Ctrl-C: the protocol stops at its next check, and the run ends as a failure.
    if (gInterrupted.load(std::memory_order_acquire) && gFpl) gFpl->FPL_Abort();
}

extern "C" void OnSignal(int) {
    gInterrupted.store(true, std::memory_order_release);
    if (gSignalWake) gSignalWake->Signal(); // async-signal-safe
}

// Ctrl-C ends the protocol's current wait at once instead of at its next callback: a thread of
// its own, woken by the signal handler, asks for the abort, which wakes the wait.
class SignalWatcher {
public:
    SignalWatcher() {
        gSignalWake = &wake_;
        thread_ = std::thread([this] {
            while (!over_.load(std::memory_order_acquire)) {
                wake_.Wait(1000);
                if (!gInterrupted.load(std::memory_order_acquire)) continue;
                std::lock_guard<std::mutex> lock(gFplMutex);
                if (gFpl) gFpl->FPL_Abort();
            }
        });
    }
    ~SignalWatcher() {
        over_.store(true, std::memory_order_release);
        wake_.Signal();
        thread_.join();
        gSignalWake = nullptr;
    }

private:
    zem::WakeEvent wake_;
    std::atomic<bool> over_{false};
    std::thread thread_;
};

} // namespace

int RunProgramming(const RunRequest& req, Reporter& rep) {
    uint32_t start = TickCountMs();
    std::vector<std::string> dumps;
    auto finish = [&](int code, const std::string& status) {
        rep.Result(code, status, TickCountMs() - start, dumps);
        return code;
    };
    if (req.stream.size() > kMaxText) {
        rep.Status(txt::kPathTooLong);
        return finish(4, txt::kPathTooLong);
    }
    if (!FileExists(req.stream)) {
        rep.Message(txt::kFileNotFound);
        return finish(4, txt::kFileNotFound);
    }
    HeaderCheck check = CheckStreamFileFully(req.stream);
    rep.Status(check.status);
    if (!check.valid) {
        rep.Message(txt::kNotValidFile);
        return finish(3, check.status);
    }
    rep.Message(Format(txt::kLogVersion, txt::kVersion));
    TChannel* channel =
        req.port.size() > kMaxText ? nullptr : OpenChannel(req.port, req.debug ? 20 : 0);
    if (!channel) {
        std::string text =
            req.port.size() > kMaxText ? txt::kPortTooLong : txt::kCanNotOpen + req.port;
        rep.Status(text);
        rep.Message(text);
        return finish(5, text);
    }
    gInterrupted.store(false);
    auto watcher = std::make_unique<SignalWatcher>();
    auto oldInt = std::signal(SIGINT, OnSignal);
    auto oldTerm = std::signal(SIGTERM, OnSignal);
    gReporter = &rep;
    auto* fpl =
        new TFPLib(req.debug ? 20 : 0, req.port.c_str(), channel, req.speed.c_str(), OnStatus);
    {
        std::lock_guard<std::mutex> lock(gFplMutex);
        gFpl = fpl;
    }
    // A Ctrl-C that came while the channel opened counts.
    if (gInterrupted.load(std::memory_order_acquire)) fpl->FPL_Abort();
    rep.Message(txt::kLogBooting);
    rep.Status(txt::kPowerOn);
    bool failed = fpl->Program(req.stream.c_str());
    {
        std::lock_guard<std::mutex> lock(gFplMutex);
        gFpl = nullptr;
    }
    // Only what this run saved: a dump left by an earlier module must not be filed under this one.
    for (const std::string& name : fpl->SavedDumps())
        if (std::find(dumps.begin(), dumps.end(), name) == dumps.end()) dumps.push_back(name);
    delete fpl;
    std::string lost = channel->IsLost()
                           ? Format(fpl::kPortLostFormat, req.port.c_str(), channel->LostCause())
                           : std::string();
    FreeChannel(channel);
    gReporter = nullptr;
    std::signal(SIGINT, oldInt);
    std::signal(SIGTERM, oldTerm);
    watcher.reset();
    if (failed) {
        if (!lost.empty()) rep.Message(lost);
        rep.Message(Format(txt::kLogSendFailed, req.stream.c_str()));
        rep.Status(txt::kNotProgrammed);
        return finish(7, txt::kNotProgrammed);
    }
    rep.Message(txt::kLogOk);
    rep.Message(txt::kProgramComplete);
    return finish(0, txt::kProgramComplete);
}

namespace {

// Header texts and paths come from the file: a control character must not reach the terminal.
std::string Printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F)
            out += Format("\\x%02X", c);
        else
            out += static_cast<char>(c);
    }
    return out;
}

// What the record walk found wrong, in words; empty when nothing.
std::string WalkProblem(const StreamWalk& w) {
    if (w.tooLarge)
        return Format("file larger than %llu bytes, records not read",
                      static_cast<unsigned long long>(kMaxStreamSize));
    if (w.tooShort) return "file shorter than its header";
    if (w.readError) return "file could not be read to its end";
    if (w.truncated)
        return Format("record at 0x%08llX runs past the end of the file (0x%08llX bytes)",
                      static_cast<unsigned long long>(w.cutAt),
                      static_cast<unsigned long long>(w.size));
    if (w.recordCount == 0) return "no records after the header";
    return {};
}

} // namespace

int ShowInfo(const std::string& stream, bool json, std::FILE* out) {
    HeaderLabels labels;
    HeaderCheck check = CheckStreamFileFully(stream, &labels);
    bool missing = check.outcome == StreamCheck::Missing;
    int code = check.valid ? 0 : missing ? 4 : 3;
    bool headerShown = check.outcome == StreamCheck::Valid ||
                       check.outcome == StreamCheck::BadFlashType ||
                       check.outcome == StreamCheck::BadRecords;
    // The walk reads the file through a small window and keeps no records: memory stays flat
    // however many records there are.
    StreamWalk walk;
    bool walked = !missing && WalkStreamFile(stream, walk);
    std::string sw = HeaderText(check.header, hdr::kSoftwareVersion);
    std::string pn = HeaderText(check.header, hdr::kProductName);
    std::string problem = walked ? WalkProblem(walk) : std::string();

    if (json) {
        nlohmann::json j{{"file", stream},
                         {"exit_code", code},
                         {"valid", check.valid},
                         {"status", check.status}};
        if (headerShown) {
            j["header"] = {{"software_version", sw},
                           {"product_name", pn},
                           {"flash_type", labels.flashType},
                           {"header_length", labels.headerLength},
                           {"stream_version", labels.streamVersion},
                           {"speed_offset", labels.speedOffset},
                           {"crc", labels.crc},
                           {"boot_type", labels.bootType}};
        }
        if (walked) {
            j["records"] = {
                {"count", walk.recordCount},
                {"payload_bytes", walk.payloadBytes},
                {"speed_word_offset", walk.speedWordOffset},
                {"speed_word_record", walk.speedRecord < 0 ? nlohmann::json(nullptr)
                                                           : nlohmann::json(walk.speedRecord + 1)},
                {"ends_exactly", walk.endsExactly},
                {"file_size", walk.size},
                {"too_short", walk.tooShort},
                {"too_large", walk.tooLarge},
                {"truncated", walk.truncated},
                {"cut_at", walk.truncated ? nlohmann::json(walk.cutAt) : nlohmann::json(nullptr)},
                {"problem", problem.empty() ? nlohmann::json(nullptr) : nlohmann::json(problem)}};
        }
        std::fprintf(out, "%s\n",
                     j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        return code;
    }
    std::fprintf(out, "File:              %s\n", Printable(stream).c_str());
    if (headerShown) {
        std::fprintf(out, "Software Version:  %s\n", Printable(sw).c_str());
        std::fprintf(out, "Product Name:      %s\n", Printable(pn).c_str());
        std::fprintf(out, "Flash Type:        %s\n", labels.flashType.c_str());
        std::fprintf(out, "Header Length:     %s\n", labels.headerLength.c_str());
        std::fprintf(out, "Stream Version:    %s\n", labels.streamVersion.c_str());
        std::fprintf(out, "Speed Offset:      %s\n", labels.speedOffset.c_str());
        std::fprintf(out, "Crc:               %s\n", labels.crc.c_str());
        std::fprintf(out, "BootType:          %s\n", labels.bootType.c_str());
    }
    std::fprintf(out, "Valid:             %s\n", check.valid ? "yes" : "no");
    std::fprintf(out, "Status:            %s\n", check.status.c_str());
    if (walked && !walk.tooShort && !walk.tooLarge) {
        std::fprintf(out, "Records:           %llu\n",
                     static_cast<unsigned long long>(walk.recordCount));
        std::fprintf(out, "Payload bytes:     %llu\n",
                     static_cast<unsigned long long>(walk.payloadBytes));
        if (walk.speedRecord >= 0)
            std::fprintf(out, "Speed word:        offset 0x%08llX in record %lld\n",
                         static_cast<unsigned long long>(walk.speedWordOffset),
                         static_cast<long long>(walk.speedRecord + 1));
        else
            std::fprintf(out, "Speed word:        offset 0x%08llX, in no record\n",
                         static_cast<unsigned long long>(walk.speedWordOffset));
        std::fprintf(out, "Records end at end of file: %s\n", walk.endsExactly ? "yes" : "no");
    }
    if (!problem.empty()) std::fprintf(out, "Problem:           %s\n", problem.c_str());
    return code;
}

} // namespace zem::cli
