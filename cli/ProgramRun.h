#pragma once
#include "Reporter.h"
#include "ResultsLog.h"
#include "SerialPorts.h"
#include "WireTrace.h"

#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zem::cli {

struct RunRequest {
    std::string stream;
    std::string port;
    std::string speed;
    bool debug = false;
    zem::ResultsLog* results = nullptr;  // --results: one line when the run ends
    zem::TlsTrust trust = {};            // --ca, --cert, --key
    zem::WireTrace* wireTrace = nullptr; // --wire-trace: the bytes of the run
};

class SignalWatcher;

// While one lives, Ctrl-C and a termination request call `onInterrupt` at once, on a thread of its
// own (so a wait in progress ends then, not at the protocol's next callback).
class ScopedInterrupt {
public:
    explicit ScopedInterrupt(std::function<void()> onInterrupt);
    ~ScopedInterrupt();
    ScopedInterrupt(const ScopedInterrupt&) = delete;
    ScopedInterrupt& operator=(const ScopedInterrupt&) = delete;

private:
    std::unique_ptr<SignalWatcher> watcher_;
    void (*oldInt_)(int) = nullptr;
    void (*oldTerm_)(int) = nullptr;
};

// One programming run; returns the exit code (0, 3, 4, 5 or 7). Ctrl-C asks the protocol to stop.
int RunProgramming(const RunRequest& request, Reporter& reporter);

// --info: the header fields, the verdict and the record walk. 0 valid, 3 invalid, 4 missing.
int ShowInfo(const std::string& stream, bool json, std::FILE* out);

// --list-ports: one port a line with what is known of its device, its aliases indented on the
// lines below. Always 0.
int ListPorts(bool json, std::FILE* out);
// What ListPorts prints for the given ports.
int PrintPorts(const std::vector<SerialPortInfo>& ports, bool json, std::FILE* out);

} // namespace zem::cli
