#pragma once
#include "ProgrammingRun.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zem {

// The station's rules for one port, as one function from what the port has been through, its
// options, what its run or its port just reported and whether a stop was asked for, to what it
// goes through next and what its thread must do. No threads, no clock, no I/O: the station's
// port thread carries out the actions and reports back.

struct PortCycleOptions {
    bool continuous = false;    // many modules per port: a port with no module waits
    bool presenceCheck = false; // the presence lines show a module before its run, and its removal
    unsigned count = 1;         // modules per port; 0: until stopped
};

struct PortCycleState {
    unsigned begun = 0;              // runs counted
    bool opened = false;             // the port opened once: a later failure to open is a lost port
    bool waiting = false;            // its row says it waits for a module
    bool holdShown = false;          // its row shows the hold's text
    bool streamRefused = false;      // the stream check failed in every round since...
    uint32_t streamRefusedSince = 0; // ...this time
    unsigned quickFailures = 0;      // runs in a row that failed within a second
    uint32_t waitSince = 0;          // when the port began to wait for its module
    bool newWaitOnReturn = false;    // a port waited for begins a new wait for a module when back
    bool held = false;               // ended because the jig fails every module at once
};

struct PortReport {
    enum Kind {
        kRound,    // the port may begin a round (first, or after a pause, a removal, a count)
        kPresent,  // the presence lines show a module
        kPortBack, // the port lost or absent opened again
        kRunEnded, // a run ended
    };
    Kind kind = kRound;
    uint32_t nowMs = 0;
    std::string hold; // kRound, kPortBack: the hold's text; empty: no hold
    // kRunEnded: what the run said of itself.
    RunEnd outcome = RunEnd::NotProgrammed;
    int exitCode = 7;
    bool aborted = false;
    bool answered = false; // a module answered the sync bytes, if only to refuse them
    bool begun = false;    // a module's boot loader answered: its run began
    std::string cause;     // why the port did not open
    std::string lostCause; // why the port went away during the run
    uint32_t roundMs = 0;  // from the run's start to its end
};

enum class PortAction {
    kShowHold,        // the row shows the hold's text (`text`)
    kLookAgain,       // a second's pause, then a new round
    kWaitForPresence, // until the presence lines show a module; then kPresent
    kShowWaiting,     // the row says it waits for the module
    kAnnounceRun,     // a run of its own: its start event and state, before it opens the port
    kStartRun,        // a run: a module, or the handshake offered once more; then kRunEnded
    kWaitForPort,     // the port lost (or absent: `absent`) for `text`: looked for until it opens;
                      // then kPortBack
    kCompleteStart,   // the run's start line, for a module that only refused the sync bytes
    kWriteResult,     // its results line (its dumps kept)
    kCount,           // its tally, its result event and its end state
    kWaitForRemoval,  // until the presence lines show the module gone; then a new round
    kEnd,             // the port starts no more modules (held: see the state)
};

struct PortStep {
    PortCycleState next;
    // In order. After them, the port reports what the last waited for; after none of those, a
    // new round.
    std::vector<PortAction> actions;
    std::string text;    // kShowHold: the hold's text; kWaitForPort: the cause
    bool absent = false; // kWaitForPort: never there yet, rather than lost
};

PortStep NextPortStep(const PortCycleState& state, const PortCycleOptions& options,
                      const PortReport& report, bool stop);

} // namespace zem
