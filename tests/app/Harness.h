#pragma once
#include "FakeView.h"
#include "FormMainLogic.h"
#include "TestDir.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct HeaderFields {
    uint16_t version = 2;
    uint16_t flash = 1;
    uint32_t speedOffset = 0x12;
    bool goodCrc = true;
    const char* software = "SW 1.02";
    const char* product = "Modem X";
};

// A stream file: header and one record of count 0 (one payload byte).
std::string MakeStream(const HeaderFields& fields = {});

// A port as the port source reports it, with its stable aliases.
inline zem::SerialPortInfo PortFound(std::string name, std::vector<std::string> byId = {},
                                     std::vector<std::string> byPath = {}) {
    zem::SerialPortInfo port;
    port.name = std::move(name);
    port.byId = std::move(byId);
    port.byPath = std::move(byPath);
    return port;
}

// A window logic on a fake view in a fresh current directory, with fake channels and protocol.
class Harness {
public:
    ScopedTestDir dir;
    FakeView view;

    // Fakes' behaviour
    bool openOk = true;
    std::string openCause; // why a port that does not open did not, as the system says
    bool programFails = false;
    const char* lostCause = nullptr; // the channel is found lost with this cause during the run
    std::vector<std::pair<int, int32_t>> script{{1, 0}, {2, 0}, {3, 40}, {4, 100}};
    std::function<void()> duringProgram;
    std::optional<std::vector<zem::SerialPortInfo>> portsFound{{PortFound("COM1")}};
    std::function<bool(const std::string&)> present = [](const std::string&) { return false; };

    // What the fakes saw
    std::vector<std::string> opened;
    int freed = 0;
    int runners = 0;
    int32_t levelCode = -1;
    int32_t channelLevel = -1;
    zem::TlsTrust trust; // what the last open was given
    std::string runnerPort, runnerSpeed, runnerPath;
    bool aborted = false;
    std::vector<std::string> order; // "runner-gone", "channel-freed"
    std::vector<std::string> probed;

    std::unique_ptr<zem::FormMainLogic> logic;

    zem::Services Services();
    // Creates the window logic in the test directory (which places Zem.ini).
    zem::FormMainLogic& Create();
    std::string File(const std::string& name) const { return dir.File(name); }
    std::string Status() { return view.texts[zem::Item::StatusBar]; }
};
