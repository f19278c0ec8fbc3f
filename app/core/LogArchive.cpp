#include "LogArchive.h"

#include "Paths.h"
#include "ProfileFile.h"
#include "StreamFile.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace zem {
namespace {

std::string Strftime(const std::string& format, const std::tm& t) {
    if (format.empty()) return {};
    std::vector<char> buf(256);
    for (;;) {
        size_t n = std::strftime(buf.data(), buf.size(), format.c_str(), &t);
        // 0 is either an empty result or a buffer too small; stop growing at a sane size.
        if (n > 0 || buf.size() >= 4096) return std::string(buf.data(), n);
        buf.resize(buf.size() * 2);
    }
}

bool ModifiedLocal(const std::string& path, std::tm& out) {
    std::error_code ec;
    auto ft = std::filesystem::last_write_time(path, ec);
    if (ec) return false;
    auto sys = std::chrono::file_clock::to_sys(ft);
    std::time_t t = std::chrono::system_clock::to_time_t(
        std::chrono::time_point_cast<std::chrono::system_clock::duration>(sys));
    // Archive names have always carried even seconds (two-second file times).
    t -= t % 2;
    const std::tm* lt = std::localtime(&t); // GUI thread only
    if (!lt) return false;
    out = *lt;
    return true;
}

} // namespace

std::string ArchiveStamp(const std::tm& local, const TimeFormats& formats) {
    std::string date = Strftime(formats.date, local);
    for (char& c : date)
        if (c == '/') c = '-';
    return date + "_" + Strftime(formats.time, local);
}

ArchiveResult ArchiveLog(const std::string& startDir, const TimeFormats& formats,
                         std::string* archivePath) {
    std::string log = startDir + "zem.log";
    if (!FileExists(log)) return ArchiveResult::NoLog;
    std::tm modified{};
    if (!ModifiedLocal(log, modified)) return ArchiveResult::Failed;
    std::string archive = startDir + ArchiveStamp(modified, formats) + "_zem.log";
    if (archivePath) *archivePath = archive;
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(log, bytes)) return ArchiveResult::Failed;
    // Only a complete archive may cost the log its contents; a name the file system refuses
    // (":" on Windows) or a full disk keeps the log as it is.
    if (!WriteFileAtomically(archive, std::string(bytes.begin(), bytes.end())))
        return ArchiveResult::Failed;
    std::FILE* f = std::fopen(log.c_str(), "wb");
    if (!f) return ArchiveResult::Failed;
    std::fclose(f);
    return ArchiveResult::Archived;
}

} // namespace zem
