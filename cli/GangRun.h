#pragma once
#include "Gang.h"
#include "ResultsLog.h"

#include <cstdio>
#include <string>
#include <vector>

namespace zem::cli {

struct GangOptions {
    std::string stream;
    std::vector<std::string> ports;
    std::string speed;
    bool debug = false;
    unsigned count = 1; // runs per port; 0: until Ctrl-C
    bool numbered = false;
    zem::ResultsLog* results = nullptr;
    zem::TlsTrust trust = {}; // --ca, --cert, --key
    zem::WireTrace* wireTrace = nullptr; // --wire-trace
};

// Runs side by side, one per port, shown together: a redrawn bar per port on a terminal, lines
// prefixed with the port otherwise, or JSON lines that carry the port; then a summary.
// Returns the overall exit code.
int RunGang(const GangOptions& options, bool json, bool terminal, std::FILE* out, std::FILE* err);

// Port names from PORT[,PORT...]; empty when a name is empty or given twice.
std::vector<std::string> SplitPorts(const std::string& list);

} // namespace zem::cli
