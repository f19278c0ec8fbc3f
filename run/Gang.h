#pragma once
#include "ProgrammingRun.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace zem {

struct GangRequest {
    std::string stream;
    std::string speed;
    std::vector<std::string> ports;
    int32_t levelCode = 0;
    unsigned count = 1;    // runs per port, one after the other; 0: until aborted
    bool numbered = false; // dump names carry the run number, so each module keeps its dump
    TlsTrust trust = {};   // for tls:// ports
};

// What happened on one port.
struct Tally {
    unsigned runs = 0;
    unsigned programmed = 0;
    unsigned failed = 0;  // ended with a failure of their own
    unsigned aborted = 0; // ended as not programmed because they were aborted
    int exitCode = 0;     // the most serious of its runs
};

struct GangSummary {
    std::vector<std::string> ports;
    std::vector<Tally> tallies;  // one per port, in the order given
    std::vector<RunResult> last; // each port's last result (a port that never ran: default)
    Tally total;
    bool aborted = false;
    int exitCode = 0; // 0 only when every run programmed its module
};

// Events of runs side by side, one slot per port (its index in the request). The gang delivers
// them one at a time, whichever thread the run is on.
class GangEvents {
public:
    virtual ~GangEvents() = default;
    virtual void RunStarting(size_t slot, unsigned runNumber) { (void)slot, (void)runNumber; }
    virtual void Status(size_t slot, const std::string& text) = 0;
    virtual void Progress(size_t slot, int code, int32_t value) = 0;
    virtual void Message(size_t slot, const std::string& line) = 0;
    virtual void Result(size_t slot, const RunResult& result, const Tally& tally) = 0;
};

// One thread per port, each with its own runs, channel and protocol; with a count above one (or
// none) a port's next run starts as soon as its last has ended. A run that could not reach a
// module (stream refused, port not opened) ends that port's runs: the next would fail alike.
class Gang {
public:
    Gang(GangRequest request, RunServices services, GangEvents& events);
    Gang(const Gang&) = delete;
    Gang& operator=(const Gang&) = delete;

    // Blocks until every port's runs have ended.
    GangSummary Run();
    // From any thread: every run under way stops, and no further run starts.
    void Abort();

private:
    class SlotEvents;
    void PortLoop(size_t slot);

    GangRequest req_;
    RunServices services_;
    GangEvents& events_;
    std::atomic<bool> abort_{false};
    std::mutex eventsMutex_;
    std::mutex runsMutex_;
    std::vector<ProgrammingRun*> running_;
    std::vector<Tally> tallies_;
    std::vector<RunResult> last_;
};

// Of two exit codes, the one a station must see: 4 (stream file not found) before 3 (stream file
// not valid) before 5 (port not opened) before 7 (module not programmed) before 0.
int MostSerious(int a, int b);

} // namespace zem
