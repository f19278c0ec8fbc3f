#pragma once
#include "Reporter.h"
#include "ResultsLog.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>

namespace zem::cli {

struct RunRequest {
    std::string stream;
    std::string port;
    std::string speed;
    bool debug = false;
    zem::ResultsLog* results = nullptr; // --results: one line when the run ends
};

// Ctrl-C and a termination request set Flag() while one lives.
class ScopedInterrupt {
public:
    ScopedInterrupt();
    ~ScopedInterrupt();
    ScopedInterrupt(const ScopedInterrupt&) = delete;
    ScopedInterrupt& operator=(const ScopedInterrupt&) = delete;
    static const std::atomic<bool>& Flag();

private:
    void (*oldInt_)(int) = nullptr;
    void (*oldTerm_)(int) = nullptr;
};

// One programming run; returns the exit code (0, 3, 4, 5 or 7). Ctrl-C asks the protocol to stop.
int RunProgramming(const RunRequest& request, Reporter& reporter);

// --info: the header fields, the verdict and the record walk. 0 valid, 3 invalid, 4 missing.
int ShowInfo(const std::string& stream, bool json, std::FILE* out);

// --list-ports: one port a line with what is known of its device. Always 0.
int ListPorts(bool json, std::FILE* out);

} // namespace zem::cli
