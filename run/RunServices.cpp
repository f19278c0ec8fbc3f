#include "RunServices.h"

#include "OpenChannel.h"

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

private:
    std::string port_; // the protocol object may keep the pointers it was given
    std::string speed_;
    TFPLib fpl_;
};

} // namespace

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
    return s;
}

RunServices WithWireTrace(RunServices services, WireTrace& trace) {
    services.openChannel = [open = std::move(services.openChannel), &trace](const std::string& port,
                                                                            int32_t level) {
        TChannel* channel = open(port, level);
        if (channel) channel->SetWireTrace(&trace, port);
        return channel;
    };
    return services;
}

} // namespace zem
