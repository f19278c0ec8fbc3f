#include "ProgramRun.h"

#include "Format.h"
#include "ProgrammingRun.h"
#include "StreamFile.h"
#include "Texts.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <csignal>

namespace zem::cli {

namespace {

std::atomic<bool> gInterrupted{false};

extern "C" void OnSignal(int) {
    gInterrupted.store(true, std::memory_order_release);
}

// The run's events on zemcli's display.
class CliEvents : public RunEvents {
public:
    CliEvents(Reporter& rep, zem::ResultsLog* results) : rep_(rep), results_(results) {}
    void Status(const std::string& text) override { rep_.Status(text); }
    void Progress(int code, int32_t value) override {
        if (code <= 7) rep_.Progress(code, value);
    }
    void Message(const std::string& line) override { rep_.Message(line); }
    void Result(const RunResult& r) override {
        if (results_) results_->Append(r);
        if (!r.alert.empty()) rep_.Message(r.alert);
        rep_.Result(r.exitCode, r.status, r.elapsedMs, r.dumps);
    }

private:
    Reporter& rep_;
    zem::ResultsLog* results_;
};

} // namespace

// Ctrl-C and a termination request abort what runs until the scope ends.
ScopedInterrupt::ScopedInterrupt() {
    gInterrupted.store(false);
    oldInt_ = std::signal(SIGINT, OnSignal);
    oldTerm_ = std::signal(SIGTERM, OnSignal);
}

ScopedInterrupt::~ScopedInterrupt() {
    std::signal(SIGINT, oldInt_);
    std::signal(SIGTERM, oldTerm_);
}

const std::atomic<bool>& ScopedInterrupt::Flag() {
    return gInterrupted;
}

int RunProgramming(const RunRequest& req, Reporter& rep) {
    ScopedInterrupt interrupt;
    zem::RunRequest r;
    r.stream = req.stream;
    r.port = req.port;
    r.speed = req.speed;
    r.levelCode = req.debug ? 20 : 0;
    r.interrupt = &ScopedInterrupt::Flag();
    CliEvents events(rep, req.results);
    ProgrammingRun run(std::move(r), DefaultRunServices(), events);
    return run.Execute().exitCode;
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
