#pragma once
#include "LineSession.h"
#include "NetSerial.h"
#include "ResultsLog.h"
#include "WireTrace.h"

#include <cstdio>
#include <string>
#include <vector>

namespace zem::cli {

struct StationOptions {
    std::string stream;
    std::vector<std::string> ports;
    std::string speed;
    bool debug = false;
    unsigned count = 1;      // modules per port; 0: until stopped
    bool continuous = false; // --loop or --count
    bool presenceCheck = false;
    std::string dumpDir;
    zem::ResultsLog* results = nullptr;
    zem::TlsTrust trust = {};            // --ca, --cert, --key
    zem::WireTrace* wireTrace = nullptr; // --wire-trace
    LineSession* line = nullptr;         // --line: holds and the job's quantity
};

// Modules side by side and one after another, shown on one board: a row per port on a terminal,
// lines that start with the port otherwise, or JSON lines that carry the port; then a summary.
// The first Ctrl-C, SIGTERM or SIGHUP stops it cleanly, a second Ctrl-C aborts every run.
// Returns the overall exit code.
int RunStation(const StationOptions& options, bool json, bool terminal, std::FILE* out,
               std::FILE* err);

// Each port's stable name where the system knows one (its /dev/serial/by-id link, or the device
// a given link leads to); empty where none is known.
std::vector<std::string> StableAliases(const std::vector<std::string>& ports);

} // namespace zem::cli
