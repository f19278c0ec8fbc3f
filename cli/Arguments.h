#pragma once
#include "NetSerial.h"

#include <string>
#include <vector>

namespace zem::cli {

// What the command line asks for, as parsed, before anything is opened.
struct Arguments {
    bool info = false;
    bool listPorts = false;
    bool debug = false;
    bool loop = false;
    bool countGiven = false;
    std::string count = {}; // as typed
    bool presence = false;
    std::string resultsFile = {};
    std::string dumpDir = {};
    std::string wireTraceFile = {};
    TlsTrust trust = {};
    std::string lineUrl = {}; // --line: an https:// one takes the trust options too
    std::vector<std::string> positional = {};
};

// The link speeds a run takes, fastest first, as the windows list them.
const std::vector<std::string>& Speeds();
// "921600, 460800, ..., 9600".
std::string SpeedList();

// Empty when the arguments make sense together; otherwise one line that names the argument at
// fault and why. `count` receives --count's value (0 when it was not given).
std::string CheckArguments(const Arguments& a, unsigned& count);

} // namespace zem::cli
