#include "Treport.h"

#include "Paths.h"
#include "Profile.h"
#include "Station.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {
constexpr size_t kMaxPath = 260;
thread_local std::string tReportPort;
thread_local zem::ScopedReportWatch::Sink* tWatch = nullptr;
// One record at a time in the whole process: an append is not atomic on every platform.
std::mutex gRecordMutex;
} // namespace

namespace zem {
ScopedReportPort::ScopedReportPort(std::string port) : previous_(std::move(tReportPort)) {
    tReportPort = std::move(port);
}
ScopedReportPort::~ScopedReportPort() {
    tReportPort = std::move(previous_);
}
ScopedReportWatch::ScopedReportWatch(Sink sink) : sink_(std::move(sink)), previous_(tWatch) {
    tWatch = &sink_;
}
ScopedReportWatch::~ScopedReportWatch() {
    tWatch = previous_;
}
} // namespace zem

TReport::TReport(int32_t levelCode, const char* section) : Port(tReportPort) {
    Level = levelCode >> 2; // arithmetic shift: floor of code / 4
    zem::ReadStationKey(WorkingPath, ServerPath);
    if (WorkingPath.empty()) {
        WorkingPath = zem::CurrentDirWithSeparator();
        if (WorkingPath.size() > kMaxPath) WorkingPath.resize(kMaxPath);
    }
    const char sep = zem::PathSeparator();
    // The stored value is used as it stands: no separator is inserted before "Instance".
    WorkingPath += "Instance" + std::to_string(levelCode) + sep;
    IniPath = WorkingPath + "LocalConfig" + sep + "DeviceConfig.ini";
    Name = zem::ProfileRead(IniPath, section ? section : "", "Name", "");
    if (Level < 0) Level = 0;
    Debug(3, ("DeviceConfig:: " + IniPath).c_str());
}

void TReport::Watch(const char* tag, const char* text) {
    if (tWatch && *tWatch && text) (*tWatch)(tag, text);
}

int TReport::Fail(int, const char* text) {
    Watch("Fail", text);
    return Report("Fail", text);
}
int TReport::Error(int, const char* text) {
    Watch("Error", text);
    return Report("Error", text);
}

int TReport::Log(int level, const char* text) {
    Watch("Log", text);
    return level <= Level ? Report("Log", text) : 0;
}

int TReport::Debug(int level, const char* text) {
    Watch("Debug", text);
    return level <= Level ? Report("Debug", text) : 0;
}

int TReport::ReportTx(int level, const void* data, int size) {
    return level <= Level ? WriteRecord("ReportTx", data, size) : 0;
}

int TReport::ReportRx(int level, const void* data, int size) {
    return level <= Level ? WriteRecord("ReportRx", data, size) : 0;
}

int TReport::Report(const char* tag, const char* text) {
    if (Level == 0 || !text) return 0;
    return WriteRecord(tag, text, static_cast<int>(std::strlen(text)));
}

int TReport::WriteRecord(const char* tag, const void* data, int size) {
    if (size < 0 || (size > 0 && !data)) return 0;
    // The whole record goes out in one append so that records of two objects never interleave.
    std::string rec;
    rec.reserve(std::strlen(tag) + Name.size() + Port.size() + static_cast<size_t>(size) + 5);
    rec += tag;
    rec += ' ';
    rec += Name;
    if (!Port.empty()) rec += (Name.empty() ? "" : "@") + Port;
    rec += ' ';
    rec.append(static_cast<const char*>(data), static_cast<size_t>(size));
    rec += "\r\n";
    std::lock_guard lock(gRecordMutex);
    std::FILE* f = std::fopen(kFileName, "ab");
    if (!f) return 0;
    std::setvbuf(f, nullptr, _IONBF, 0);
    std::fwrite(rec.data(), 1, rec.size(), f);
    std::fclose(f);
    return 0;
}
