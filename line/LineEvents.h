#pragma once
#include <string>

namespace zem::line {

// A port's state as a station reported it, as the service stored it.
struct PortStateEvent {
    std::string station;
    int port;
    std::string state;
    int percent;
    std::string cause;
    std::string at;
};

// What happens on the line, for whoever feeds other systems (a plant's broker). Called on the
// service's threads after the database has the change; an observer must not block.
class LineEvents {
public:
    virtual ~LineEvents() = default;
    virtual void ResultStored(const std::string& /*station*/, const std::string& /*resultJson*/) {}
    virtual void PortState(const PortStateEvent&) {}
    virtual void StationOnline(const std::string& /*station*/, bool /*online*/,
                               const std::string& /*lastSeen*/) {}
};

} // namespace zem::line
