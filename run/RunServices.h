#pragma once
#include "Clock.h"
#include "NetSerial.h"
#include "TChannel.h"
#include "TFPLib.h"
#include "WireTrace.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zem {

// The protocol side of one programming run (a TFPLib in the program).
class ProgramRunner {
public:
    virtual ~ProgramRunner() = default;
    virtual bool Program(const std::string& streamFile) = 0; // false on success
    virtual void Abort() = 0; // only sets a flag that the running Program polls; any thread
    // Dump files the last Program saved, in order; a file of the same name left by an earlier run
    // is never one of them.
    virtual std::vector<std::string> SavedDumps() const = 0;
    // Read-backs go to this file instead of the port's own dump name; before Program.
    virtual void SaveDumpsTo(const std::string& file) { (void)file; }
    // Calls `observer` with the stream as Program loaded it, on Program's thread; before Program.
    virtual void ObserveStream(std::function<void(const uint8_t*, size_t)> observer) {
        (void)observer;
    }
    // Some byte came back from the module during the last Program.
    virtual bool HeardAnswer() const { return false; }
    // Why the last Program failed, when that is worth a line of its own to the operator; empty
    // otherwise.
    virtual std::string FailureCause() const { return {}; }
};

// What a run reaches outside itself, so that the tests can replace it.
struct RunServices {
    // Null when the port cannot be opened, with why in `cause` when that is known; the result is
    // freed with freeChannel. The channel reports at the same level code as the protocol object;
    // a tls:// port trusts what `trust` names.
    std::function<TChannel*(const std::string& portName, int32_t levelCode, const TlsTrust& trust,
                            std::string* cause)>
        openChannel;
    std::function<void(TChannel*)> freeChannel;
    std::function<std::unique_ptr<ProgramRunner>(int32_t levelCode, const std::string& portName,
                                                 TChannel* channel, const std::string& speed,
                                                 TFPLibCallback callback)>
        newRunner;
    // One look at the module-presence lines of a port (DSR or CTS raised); false when unknown.
    std::function<bool(const std::string& portName)> modulePresent;
    // Time of the station's waits (how long a port waited, when to look for a lost port again);
    // null: the system's clock and real waits.
    Clock* clock = nullptr;
};

// The real channels and protocol.
RunServices DefaultRunServices();

// Whether a port can show a module's presence on its modem lines (DSR, CTS). False, with the
// reason in `why`, for a port that has none: a network or disk port, a pseudo-terminal. True
// when it has them, and when it cannot be opened now (an adapter not yet plugged in).
bool PortHasModemLines(const std::string& port, std::string& why);

// The same services, with every channel they open writing its bytes to `trace` as well.
RunServices WithWireTrace(RunServices services, WireTrace& trace);

} // namespace zem
