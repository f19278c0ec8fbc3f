#pragma once
#include "LineEvents.h"
#include "Store.h"

#include <memory>
#include <string>
#include <vector>

namespace zem::line {

struct ServiceOptions {
    std::string host = "127.0.0.1";
    int port = 8470;
    // TLS: the service's certificate and key (PEM); with `caFile`, only clients whose certificate
    // that CA signed are let in.
    std::string certFile, keyFile, caFile;
    size_t maxBodyBytes = 8u << 20;
    size_t maxBatch = 1000; // results in one request
    // The shifts' start times (local time, minutes of the day) the page counts modules from.
    std::vector<int> shiftMinutes = {6 * 60, 14 * 60, 22 * 60};
    uint32_t staleMs = 10000;     // a station silent this long is shown grey
    uint32_t livePollMs = 200;    // how often an open page's stream asks the database for changes
    int maxReportsPerSecond = 10; // a station's live reports; more are refused (429)
    size_t threads = 64;          // open pages hold one each
    LineEvents* events = nullptr; // told of what was stored, after the commit
};

// The HTTP API over a store. The service holds nothing of its own: every answer comes from the
// database, so several services may stand behind one address.
class Service {
public:
    Service(Store& store, ServiceOptions options);
    ~Service();
    // Binds the address; false with `error` in words (port taken, certificate unreadable). With
    // port 0 a free port is chosen: BoundPort says which.
    bool Bind(std::string& error);
    int BoundPort() const;
    // Serves until Stop; from another thread.
    void Serve();
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace zem::line
