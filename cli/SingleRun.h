#pragma once
#include "Reporter.h"
#include "NetSerial.h"
#include "ResultsLog.h"
#include "WireTrace.h"

#include <string>

namespace zem::cli {

struct SingleRunOptions {
    std::string stream;
    std::string port;
    std::string speed;
    bool debug = false;
    std::string dumpDir;                // empty: the current folder
    zem::ResultsLog* results = nullptr; // --results: a line when the run begins and when it ends
    zem::TlsTrust trust = {};            // --ca, --cert, --key
    zem::WireTrace* wireTrace = nullptr; // --wire-trace: the bytes of the run
};

// One programming run, as the desktop program's Program button does it; returns the exit code
// (0, 3, 4, 5 or 7; 6 when its results line could not be written). Ctrl-C stops the protocol at
// once.
int RunSingle(const SingleRunOptions& options, Reporter& reporter);

} // namespace zem::cli
