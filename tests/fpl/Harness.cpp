#include "Harness.h"

#include "Format.h"
#include "Priority.h"
#include "StreamFile.h"

namespace fpltest {

namespace {
Harness* gCurrent = nullptr;

void OnStatus(uint8_t code, int32_t value) {
    if (!gCurrent) return;
    gCurrent->calls.push_back({code, value});
    if (gCurrent->hook) gCurrent->hook(code, value);
}
} // namespace

std::vector<TraceLine> ReadTrace() {
    std::string all = ReadFileBytes(TReport::kFileName);
    std::vector<TraceLine> lines;
    size_t from = 0;
    while (from < all.size()) {
        size_t end = all.find("\r\n", from);
        if (end == std::string::npos) end = all.size();
        std::string line = all.substr(from, end - from);
        size_t sp = line.find(' ');
        if (sp != std::string::npos && sp + 1 < line.size() && line[sp + 1] == ' ')
            lines.push_back({line.substr(0, sp), line.substr(sp + 2)});
        from = end + 2;
    }
    return lines;
}

std::vector<std::string> TraceBodies(const std::string& tag) {
    std::vector<std::string> out;
    for (const TraceLine& l : ReadTrace())
        if (l.tag == tag) out.push_back(l.body);
    return out;
}

zem::sim::StreamLayout DefaultLayout() {
    zem::sim::StreamLayout s;
    s.payloadSizes = {300, 700, 1200, 500, 64};
    s.speedRecord = 3;
    s.speedInRecord = 10;
    s.speedWordValue = 0x0777;
    return s;
}

Harness::Harness() {
    gCurrent = this;
}

Harness::~Harness() {
    fpl.reset();
    clock.Attach(nullptr);
    channel.reset();
    gCurrent = nullptr;
    zem::SetProcessPriorityNormal();
}

void Harness::Open(std::vector<uint8_t> img, zem::sim::SimOptions sim, const std::string& speed,
                   const std::string& port, int32_t level, int32_t channelLevel) {
    image = std::move(img);
    channel = std::make_unique<zem::sim::TSimChannel>(image, std::move(sim), &clock, channelLevel);
    clock.Attach(channel.get());
    fpl = std::make_unique<TFPLib>(level, port.c_str(), channel.get(), speed.c_str(), OnStatus,
                                   &clock);
}

bool Harness::Program() {
    WriteFileBytes("stream.bin", std::string(image.begin(), image.end()));
    return fpl->Program("stream.bin");
}

std::vector<int> Harness::Values(int code) const {
    std::vector<int> v;
    for (const Call& c : calls)
        if (c.code == code) v.push_back(c.value);
    return v;
}

std::string Harness::RangeOf(size_t n) const {
    zem::StreamWalk w = zem::WalkStream(image.data(), image.size());
    if (n == 0 || n > w.records.size()) return "(no such record)";
    const zem::StreamRecord& r = w.records[n - 1];
    return zem::Format("(0x%08X - 0x%08X)", static_cast<unsigned>(r.payloadStart),
                       static_cast<unsigned>(r.end - 1));
}

} // namespace fpltest
