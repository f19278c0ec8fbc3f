#include "ProgramRun.h"

#include "OpenChannel.h"
#include "Paths.h"
#include "StreamFile.h"
#include "TFPLib.h"
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

constexpr size_t kMaxText = 255;

const char* StatusTextFor(int code) {
    switch (code) {
    case 0:
        return "Idle";
    case 1:
        return "Linking...";
    case 2:
        return "Linked";
    case 3:
        return "Programming...";
    case 4:
        return "Programmed";
    case 5:
        return "Reading...";
    case 6:
        return "Idle";
    case 7:
        return "Error";
    default:
        return "Bad status...";
    }
}

void OnStatus(uint8_t code, int32_t value) {
    if (code == 5) gReading = true;
    if (code != 8 && gReporter) {
        gReporter->Status(StatusTextFor(code));
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
        rep.Status("Stream file path longer than 255 characters");
        return finish(4, "Stream File not found");
    }
    if (!FileExists(req.stream)) {
        rep.Message("Stream File not found");
        return finish(4, "Stream File not found");
    }
    HeaderCheck check = CheckStreamFileFully(req.stream);
    rep.Status(check.status);
    if (!check.valid) {
        rep.Message("Not valid Stream File");
        return finish(3, check.status);
    }
    rep.Message(std::string("Flash Programmer ") + kVersion);
    TChannel* channel = req.port.size() > kMaxText ? nullptr : OpenChannel(req.port);
    if (!channel) {
        std::string text = "Can not open " + req.port;
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
    rep.Message("Booting, power ON module ");
    rep.Status("Power on the module");
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
        rep.Message("Can not send file " + req.stream);
        rep.Status("Error, module not programmed");
        return finish(7, "Error, module not programmed");
    }
    rep.Message("OK");
    rep.Message("Program Complete");
    return finish(0, "Program Complete");
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
