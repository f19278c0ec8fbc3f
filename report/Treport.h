#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace zem {
// While one lives, objects built on this thread name this port in their records' name column, so
// that the records of runs side by side can be told apart.
class ScopedReportPort {
public:
    explicit ScopedReportPort(std::string port);
    ~ScopedReportPort();
    ScopedReportPort(const ScopedReportPort&) = delete;
    ScopedReportPort& operator=(const ScopedReportPort&) = delete;

private:
    std::string previous_;
};

// While one lives, every text record of an object on this thread is also handed to `sink`, at
// whatever level it was made: a run can tell its operator why it failed in the protocol's own
// words, while the trace file still keeps only what its level asks for. Watches nest; the inner
// one hears the records.
class ScopedReportWatch {
public:
    using Sink = std::function<void(const char* tag, const char* text)>;
    explicit ScopedReportWatch(Sink sink);
    ~ScopedReportWatch();
    ScopedReportWatch(const ScopedReportWatch&) = delete;
    ScopedReportWatch& operator=(const ScopedReportWatch&) = delete;

private:
    Sink sink_;
    Sink* previous_;
};
} // namespace zem

// Trace sink of the protocol object and of every channel. Each object reads its station settings
// once, at construction, and appends its records to "LocalLog.txt" in the current directory.
// Records of objects on different threads never interleave.
class TReport {
public:
    TReport(int32_t levelCode, const char* section);
    ~TReport() = default;
    TReport(const TReport&) = delete;
    TReport& operator=(const TReport&) = delete;

    int Fail(int level, const char* text);  // always written (unless Level is 0)
    int Log(int level, const char* text);   // written if level <= Level
    int Error(int level, const char* text); // always written (unless Level is 0)
    int Debug(int level, const char* text); // written if level <= Level
    int ReportTx(int level, const void* data, int size);
    int ReportRx(int level, const void* data, int size);

    int Fail(int level, const std::string& t) { return Fail(level, t.c_str()); }
    int Log(int level, const std::string& t) { return Log(level, t.c_str()); }
    int Error(int level, const std::string& t) { return Error(level, t.c_str()); }
    int Debug(int level, const std::string& t) { return Debug(level, t.c_str()); }

    const std::string& ReportName() const { return Name; }
    int32_t ReportLevel() const { return Level; }
    const std::string& ReportWorkingPath() const { return WorkingPath; }
    const std::string& ReportIniPath() const { return IniPath; }
    const std::string& ReportServerPath() const { return ServerPath; }

    static constexpr const char* kFileName = "LocalLog.txt";

private:
    int Report(const char* tag, const char* text);
    static void Watch(const char* tag, const char* text);
    int WriteRecord(const char* tag, const void* data, int size);

    std::string Name;
    int32_t Level = 0;
    std::string WorkingPath;
    std::string IniPath;
    std::string ServerPath;
    std::string Port; // the run's port when runs go side by side; empty otherwise
};
