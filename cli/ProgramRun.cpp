#include "ProgramRun.h"

#include "Format.h"
#include "OpenChannel.h"
#include "Paths.h"
#include "StreamFile.h"
#include "TFPLib.h"
#include "Texts.h"
#include "Tick.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <csignal>
#include <cstring>
#include <set>

namespace zem::cli {

namespace {

// The protocol's callback is a plain function; the run in progress is reached through these.
Reporter* gReporter = nullptr;
TFPLib* gFpl = nullptr;
std::atomic<bool> gInterrupted{false};
bool gReading = false;

// Longest stream file path and port name the protocol's buffers take.
constexpr size_t kMaxText = 255;

void OnStatus(uint8_t code, int32_t value) {
    if (code == 5) gReading = true;
    if (const char* text = txt::StatusTextFor(code); text && gReporter) {
        gReporter->Status(text);
        if (code <= 7) gReporter->Progress(code, value);
    }
    // Ctrl-C: the protocol stops at its next check, and the run ends as a failure.
    if (gInterrupted.load(std::memory_order_acquire) && gFpl) gFpl->FPL_Abort();
}

extern "C" void OnSignal(int) {
    gInterrupted.store(true, std::memory_order_release);
}

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
    gReading = false;
    auto oldInt = std::signal(SIGINT, OnSignal);
    auto oldTerm = std::signal(SIGTERM, OnSignal);
    gReporter = &rep;
    auto* fpl =
        new TFPLib(req.debug ? 20 : 0, req.port.c_str(), channel, req.speed.c_str(), OnStatus);
    gFpl = fpl;
    rep.Message(txt::kLogBooting);
    rep.Status(txt::kPowerOn);
    bool failed = fpl->Program(req.stream.c_str());
    gFpl = nullptr;
    delete fpl;
    FreeChannel(channel);
    gReporter = nullptr;
    std::signal(SIGINT, oldInt);
    std::signal(SIGTERM, oldTerm);
    if (std::string dump = TFPLib::DumpFileName(req.port); gReading && FileExists(dump))
        dumps.push_back(dump);
    if (failed) {
        rep.Message(Format(txt::kLogSendFailed, req.stream.c_str()));
        rep.Status(txt::kNotProgrammed);
        return finish(7, txt::kNotProgrammed);
    }
    rep.Message(txt::kLogOk);
    rep.Message(txt::kProgramComplete);
    return finish(0, txt::kProgramComplete);
}

int ShowInfo(const std::string& stream, bool json, std::FILE* out) {
    HeaderLabels labels;
    HeaderCheck check = CheckStreamFileFully(stream, &labels);
    bool missing = check.outcome == StreamCheck::Missing;
    int code = check.valid ? 0 : missing ? 4 : 3;
    bool headerShown =
        check.outcome == StreamCheck::Valid || check.outcome == StreamCheck::BadFlashType;
    std::vector<uint8_t> data;
    StreamWalk walk;
    bool walked = !missing && ReadWholeFile(stream, data);
    if (walked) walk = WalkStream(data.data(), data.size());
    std::string sw = HeaderText(check.header, hdr::kSoftwareVersion);
    std::string pn = HeaderText(check.header, hdr::kProductName);

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
            j["records"] = {{"count", walk.records.size()},
                            {"payload_bytes", walk.payloadBytes},
                            {"speed_word_offset", walk.speedWordOffset},
                            {"speed_word_record", walk.speedRecord < 0
                                                      ? nlohmann::json(nullptr)
                                                      : nlohmann::json(walk.speedRecord + 1)},
                            {"ends_exactly", walk.endsExactly},
                            {"file_size", data.size()}};
        }
        std::fprintf(out, "%s\n",
                     j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        return code;
    }
    std::fprintf(out, "File:              %s\n", stream.c_str());
    if (headerShown) {
        std::fprintf(out, "Software Version:  %s\n", sw.c_str());
        std::fprintf(out, "Product Name:      %s\n", pn.c_str());
        std::fprintf(out, "Flash Type:        %s\n", labels.flashType.c_str());
        std::fprintf(out, "Header Length:     %s\n", labels.headerLength.c_str());
        std::fprintf(out, "Stream Version:    %s\n", labels.streamVersion.c_str());
        std::fprintf(out, "Speed Offset:      %s\n", labels.speedOffset.c_str());
        std::fprintf(out, "Crc:               %s\n", labels.crc.c_str());
        std::fprintf(out, "BootType:          %s\n", labels.bootType.c_str());
    }
    std::fprintf(out, "Valid:             %s\n", check.valid ? "yes" : "no");
    std::fprintf(out, "Status:            %s\n", check.status.c_str());
    if (walked) {
        std::fprintf(out, "Records:           %zu\n", walk.records.size());
        std::fprintf(out, "Payload bytes:     %llu\n",
                     static_cast<unsigned long long>(walk.payloadBytes));
        if (walk.speedRecord >= 0)
            std::fprintf(out, "Speed word:        offset 0x%08llX in record %d\n",
                         static_cast<unsigned long long>(walk.speedWordOffset),
                         walk.speedRecord + 1);
        else
            std::fprintf(out, "Speed word:        offset 0x%08llX, in no record\n",
                         static_cast<unsigned long long>(walk.speedWordOffset));
        std::fprintf(out, "Records end at end of file: %s\n", walk.endsExactly ? "yes" : "no");
    }
    return code;
}

} // namespace zem::cli
