#pragma once
#include "TChannel.h"
#include "TFPLib.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zem {

// The protocol side of one programming run (a TFPLib in the program).
class ProgramRunner {
public:
    virtual ~ProgramRunner() = default;
    virtual bool Program(const std::string& streamFile) = 0; // false on success
    virtual void Abort() = 0; // only sets a flag that the running Program polls
};

// Everything the window logic reaches outside itself, so that the tests can replace it.
struct Services {
    // Null when the port cannot be opened; the result is freed with freeChannel. The channel
    // reports at the same level code as the protocol object.
    std::function<TChannel*(const std::string& portName, int32_t levelCode)> openChannel;
    std::function<void(TChannel*)> freeChannel;
    std::function<std::unique_ptr<ProgramRunner>(int32_t levelCode, const std::string& portName,
                                                 TChannel* channel, const std::string& speed,
                                                 TFPLibCallback callback)>
        newRunner;
    // Names of the serial ports present and their aliases, unsorted; nothing when the source cannot
    // be read.
    std::function<std::optional<std::vector<std::string>>()> listPorts;
    // One look at the module-presence lines of a port (for the trigger); false when unknown.
    std::function<bool(const std::string& portName)> modulePresent;
};

// The real channels, protocol and port list.
Services DefaultServices();

} // namespace zem
