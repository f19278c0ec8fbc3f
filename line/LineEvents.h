#pragma once
#include <string>

namespace zem::line {

struct PortStateEvent {
    std::string station;
    int port;
    std::string state;
    int percent;
    std::string cause;
    std::string at;
};

class LineEvents {
public:
    virtual ~LineEvents() = default;
    virtual void ResultStored(const std::string&, const std::string&) {}
    virtual void PortState(const PortStateEvent&) {}
    virtual void StationOnline(const std::string&, bool, const std::string&) {}
};

} // namespace zem::line
