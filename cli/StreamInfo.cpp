#include "Format.h"
#include "Inspect.h"
#include "JsonText.h"
#include "StreamFile.h"

#include <nlohmann/json.hpp>

namespace zem::cli {

namespace {

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
        std::fprintf(out, "%s\n", JsonText(j).c_str());
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
