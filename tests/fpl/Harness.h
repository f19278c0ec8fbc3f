#pragma once
#include "SimChannel.h"
#include "StreamBuilder.h"
#include "TFPLib.h"
#include "TestDir.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// Reads what the engine believes it did to the process priority.
struct TFPLibTestPeer {
    static bool PriorityHigh(const TFPLib& f) { return f.priorityHigh; }
};

namespace fpltest {

struct Call {
    int code;
    int value;
    bool operator==(const Call& o) const { return code == o.code && value == o.value; }
};

struct TraceLine {
    std::string tag;
    std::string body;
};

// Records of "LocalLog.txt" in the current directory (the device name is empty in tests).
std::vector<TraceLine> ReadTrace();
std::vector<std::string> TraceBodies(const std::string& tag);

// Five records, the speed word (file value 0x0777) inside the third.
zem::sim::StreamLayout DefaultLayout();

// One programming run against the simulator on a virtual clock, in a fresh current directory.
class Harness {
public:
    Harness();
    ~Harness();

    void Open(std::vector<uint8_t> image, zem::sim::SimOptions sim,
              const std::string& speed = "115200", const std::string& port = "COM1",
              int32_t level = 20, int32_t channelLevel = 0);
    bool Program(); // writes the image to stream.bin and programs it

    std::vector<std::string> Fails() const { return TraceBodies("Fail"); }
    std::vector<int> Values(int code) const;
    // "(0x%08X - 0x%08X)" of record n (1-based) of the image.
    std::string RangeOf(size_t n) const;
    template <class F> auto Sim(F f) const { return channel->WithSim(f); }

    // Called with every status callback after it is recorded.
    std::function<void(uint8_t, int32_t)> hook;

    ScopedTestDir dir;
    zem::sim::VirtualClock clock{0};
    std::vector<uint8_t> image;
    std::unique_ptr<zem::sim::TSimChannel> channel;
    std::unique_ptr<TFPLib> fpl;
    std::vector<Call> calls;
};

} // namespace fpltest
