#include "RunServices.h"

#include "OpenChannel.h"
#include "SerialPort.h"
#include "Texts.h"
#include "Tick.h"

#include <cctype>

namespace zem {
namespace {

class FplRunner : public ProgramRunner {
public:
    FplRunner(int32_t levelCode, std::string port, TChannel* channel, std::string speed,
              TFPLibCallback callback)
        : port_(std::move(port)), speed_(std::move(speed)),
          fpl_(levelCode, port_.c_str(), channel, speed_.c_str(), callback) {}

    bool Program(const std::string& streamFile) override {
        return fpl_.Program(streamFile.c_str());
    }
    void Abort() override { fpl_.FPL_Abort(); }
    std::vector<std::string> SavedDumps() const override { return fpl_.SavedDumps(); }
    void SaveDumpsTo(const std::string& file) override { fpl_.SetDumpFile(file); }
    void ObserveStream(std::function<void(const uint8_t*, size_t)> observer) override {
        fpl_.SetStreamObserver(std::move(observer));
    }
    bool HeardAnswer() const override { return fpl_.HeardAnswer(); }
    std::string FailureCause() const override {
        return fpl_.AnswersOutOfStep() ? txt::kAnswersOutOfStep : std::string();
    }

private:
    std::string port_; // the protocol object may keep the pointers it was given
    std::string speed_;
    TFPLib fpl_;
};

bool IsLocalPort(const std::string& name) {
    auto upper = [&](size_t i) { return std::toupper(static_cast<unsigned char>(name[i])); };
    return (name.size() >= 3 && upper(0) == 'C' && upper(1) == 'O' && upper(2) == 'M') ||
           name.rfind("/dev/", 0) == 0;
}

// Opens the port briefly and reads its modem lines: a module that is plugged in raises DSR or
// CTS. Only local ports: a disk channel would truncate its file and a network port is too slow
// to probe every second.
bool ModulePresent(const std::string& port) {
    if (!IsLocalPort(port)) return false;
    TChannel* channel = OpenChannel(port);
    if (!channel) return false;
    // The lines are read from the port by GetLines itself, at once.
    uint32_t lines = 0;
    const bool present = channel->GetLines(&lines) == 0 && (lines & (kLineDSR | kLineCTS)) != 0;
    FreeChannel(channel);
    return present;
}

} // namespace

bool PortHasModemLines(const std::string& port, std::string& why) {
    if (!IsLocalPort(port)) {
        why = "not a local serial port";
        return false;
    }
    SerialPort probe;
    if (!probe.Open(port)) return true;
    uint32_t bits = 0;
    if (probe.ModemStatus(&bits)) return true;
    why = "the port reports no modem lines (a pseudo-terminal or a virtual port)";
    return false;
}

RunServices DefaultRunServices() {
    RunServices s;
    s.openChannel = [](const std::string& port, int32_t level, const TlsTrust& trust,
                       std::string* cause) { return OpenChannel(port, level, trust, cause); };
    s.freeChannel = [](TChannel* channel) { FreeChannel(channel); };
    s.newRunner = [](int32_t level, const std::string& port, TChannel* channel,
                     const std::string& speed,
                     TFPLibCallback callback) -> std::unique_ptr<ProgramRunner> {
        return std::make_unique<FplRunner>(level, port, channel, speed, callback);
    };
    s.modulePresent = ModulePresent;
    return s;
}

RunServices WithWireTrace(RunServices services, WireTrace& trace) {
    services.openChannel = [open = std::move(services.openChannel),
                            &trace](const std::string& port, int32_t level, const TlsTrust& trust,
                                    std::string* cause) {
        TChannel* channel = open(port, level, trust, cause);
        if (channel) channel->SetWireTrace(&trace, port);
        return channel;
    };
    return services;
}

} // namespace zem
