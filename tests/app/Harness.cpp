#include "Harness.h"

#include "StreamFile.h"

#include <cstring>

namespace {

void Put16(std::string& s, size_t at, uint16_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
}

// A channel whose link the test can declare lost, as a service thread would.
class LosableChannel : public TChannel {
public:
    LosableChannel() : TChannel(0, "FAKE", 0) {}
    void Lose(const char* cause) { Rings()->MarkLost(cause); }
};

class FakeRunner : public zem::ProgramRunner {
public:
    FakeRunner(Harness& h, TFPLibCallback cb, TChannel* ch) : h_(h), cb_(cb), ch_(ch) {}
    ~FakeRunner() override { h_.order.push_back("runner-gone"); }
    bool Program(const std::string& path) override {
        h_.runnerPath = path;
        for (auto [code, value] : h_.script)
            cb_(static_cast<uint8_t>(code), value);
        if (h_.duringProgram) h_.duringProgram();
        if (h_.lostCause) static_cast<LosableChannel*>(ch_)->Lose(h_.lostCause);
        return h_.programFails || h_.aborted || h_.lostCause;
    }
    void Abort() override { h_.aborted = true; }
    std::vector<std::string> SavedDumps() const override { return {}; }

private:
    Harness& h_;
    TFPLibCallback cb_;
    TChannel* ch_;
};

} // namespace

std::string MakeStream(const HeaderFields& fields) {
    std::string s(78, '\0');
    Put16(s, 0, fields.version == 1 ? 76 : 78);
    std::memcpy(&s[2], fields.software, std::strlen(fields.software));
    std::memcpy(&s[34], fields.product, std::strlen(fields.product));
    Put16(s, 66, fields.flash);
    Put16(s, 68, fields.version);
    for (int i = 0; i < 4; ++i)
        s[70 + i] = static_cast<char>((fields.speedOffset >> (8 * i)) & 0xFF);
    zem::HeaderBytes b{};
    std::memcpy(b.data(), s.data(), b.size());
    uint16_t crc = zem::HeaderChecksum(b);
    Put16(s, 74, static_cast<uint16_t>(fields.goodCrc ? crc : crc + 1));
    if (fields.version == 1) s.resize(76);
    s += std::string("\0\0\x5A", 3);
    return s;
}

zem::Services Harness::Services() {
    zem::Services s;
    s.openChannel = [this](const std::string& port, int32_t level, const zem::TlsTrust& t,
                           std::string* cause) -> TChannel* {
        opened.push_back(port);
        channelLevel = level;
        trust = t;
        if (!openOk && cause) *cause = openCause;
        return openOk ? new LosableChannel() : nullptr;
    };
    s.freeChannel = [this](TChannel* c) {
        ++freed;
        order.push_back("channel-freed");
        delete c;
    };
    s.newRunner = [this](int32_t level, const std::string& port, TChannel* channel,
                         const std::string& speed,
                         TFPLibCallback cb) -> std::unique_ptr<zem::ProgramRunner> {
        ++runners;
        levelCode = level;
        runnerPort = port;
        runnerSpeed = speed;
        return std::make_unique<FakeRunner>(*this, cb, channel);
    };
    s.listPorts = [this] { return portsFound; };
    s.modulePresent = [this](const std::string& port) {
        probed.push_back(port);
        return present(port);
    };
    s.errorOutput = [this](const std::string& line) { view.events.push_back("stderr:" + line); };
    return s;
}

zem::FormMainLogic& Harness::Create() {
    logic = std::make_unique<zem::FormMainLogic>(view, Services());
    logic->Create();
    return *logic;
}
