#pragma once
// Fake protocol runs for the station window's tests: each links, reports progress and ends as
// its port's plan says; a gate can hold every run mid-transfer.
#include "RunServices.h"
#include "SerialPorts.h"
#include "Services.h"
#include "TChannel.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <type_traits>

class FakeChannel : public TChannel {
public:
    FakeChannel() : TChannel(0, "FAKE", 0) {}
};

struct Plan {
    std::set<std::string> failing;
    bool hold = false;
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    int held = 0; // runs waiting at the gate
    std::atomic<int> started{0};

    void Open() {
        std::lock_guard lock(mutex);
        open = true;
        cv.notify_all();
    }
    bool WaitHeld(int n) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(10), [&] { return held >= n; });
    }
};

class PlannedRunner : public zem::ProgramRunner {
public:
    PlannedRunner(Plan& plan, std::string port, TFPLibCallback cb)
        : plan_(plan), port_(std::move(port)), cb_(cb) {}
    bool Program(const std::string&) override {
        ++plan_.started;
        cb_(1, 0);
        cb_(2, 0);
        cb_(3, 40);
        if (plan_.hold) {
            std::unique_lock lock(plan_.mutex);
            ++plan_.held;
            plan_.cv.notify_all();
            plan_.cv.wait(lock, [this] { return plan_.open || aborted_.load(); });
            --plan_.held;
        }
        if (aborted_) return true;
        if (plan_.failing.count(port_)) {
            cb_(7, 0);
            return true;
        }
        cb_(3, 100);
        cb_(4, 100);
        return false;
    }
    void Abort() override {
        aborted_ = true;
        std::lock_guard lock(plan_.mutex);
        plan_.cv.notify_all();
    }
    std::vector<std::string> SavedDumps() const override { return {}; }
    bool HeardAnswer() const override { return true; }

private:
    Plan& plan_;
    std::string port_;
    TFPLibCallback cb_;
    std::atomic<bool> aborted_{false};
};

inline void NamePort(std::string& entry, const char* name) {
    entry = name;
}
inline void NamePort(zem::SerialPortInfo& entry, const char* name) {
    entry.name = name;
}

// Channels that open for any name, and runs that follow the plan.
inline zem::Services PlannedServices(Plan& plan) {
    zem::Services s;
    s.openChannel = [](const std::string&, int32_t, const zem::TlsTrust&,
                       std::string*) -> TChannel* { return new FakeChannel(); };
    s.freeChannel = [](TChannel* c) { delete c; };
    s.newRunner = [&plan](int32_t, const std::string& port, TChannel*, const std::string&,
                          TFPLibCallback cb) -> std::unique_ptr<zem::ProgramRunner> {
        return std::make_unique<PlannedRunner>(plan, port, cb);
    };
    // Whether the list gives names or whole descriptions, these name COM2 and COM1.
    using Found = std::invoke_result_t<decltype(s.listPorts)>;
    s.listPorts = []() -> Found {
        Found found(std::in_place);
        for (const char* name : {"COM2", "COM1"}) {
            found->emplace_back();
            NamePort(found->back(), name);
        }
        return found;
    };
    return s;
}
