#pragma once
// Fake protocol runs for the station window's tests: each links, reports progress and ends as
// its port's plan says; a gate can hold every run mid-transfer.
#include "RingBlock.h"
#include "RunServices.h"
#include "SerialPorts.h"
#include "Services.h"
#include "TChannel.h"
#include "Treport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

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

// Modules whose every attempt follows a script per port: programmed, refused mid-stream with the
// protocol's own records, refused at the handshake at once, or no module at all (the handshake
// waits until aborted). A gate can hold a module before its boot loader answers.
enum class Module {
    kProgram,
    kNack,
    kNackAtSync,
    kNone,
    kGatedProgram,
    kMidway, // links and stops half-way until aborted
    kLost,   // the port goes away half-way
};

// A channel that can be lost as a pulled adapter is.
class LosingChannel : public FakeChannel {
public:
    void Lose(const char* cause) {
        if (RingBlock* r = Rings()) r->MarkLost(cause);
    }
};

struct Scripts {
    std::mutex mutex;
    std::condition_variable cv;
    std::map<std::string, std::vector<Module>> byPort; // the last one repeats
    std::map<std::string, size_t> next;
    std::atomic<int> started{0};
    bool gateOpen = false;
    int atGate = 0;

    Module Next(const std::string& port) {
        std::lock_guard lock(mutex);
        auto& list = byPort[port];
        size_t& i = next[port];
        Module m = list.empty() ? Module::kProgram : list[std::min(i, list.size() - 1)];
        ++i;
        return m;
    }
    void OpenGate() {
        std::lock_guard lock(mutex);
        gateOpen = true;
        cv.notify_all();
    }
    bool WaitAtGate() {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(10), [&] { return atGate > 0; });
    }
};

class ScriptedRunner : public zem::ProgramRunner {
public:
    ScriptedRunner(Scripts& s, std::string port, TFPLibCallback cb, TChannel* channel = nullptr)
        : s_(s), port_(std::move(port)), cb_(cb), channel_(channel) {}
    bool Program(const std::string&) override {
        Module m = s_.Next(port_);
        TReport report(0, "FPL"); // the protocol's records, heard whatever their level
        switch (m) {
        case Module::kProgram:
        case Module::kGatedProgram:
            if (m == Module::kGatedProgram) {
                std::unique_lock lock(s_.mutex);
                ++s_.atGate;
                s_.cv.notify_all();
                s_.cv.wait(lock, [this] { return s_.gateOpen || aborted_.load(); });
                if (aborted_) return true;
            }
            ++s_.started;
            heard_ = true;
            cb_(1, 0);
            cb_(2, 100);
            cb_(3, 50);
            cb_(3, 100);
            cb_(4, 100);
            return false;
        case Module::kNack:
            ++s_.started;
            heard_ = true;
            cb_(1, 0);
            cb_(2, 100);
            cb_(3, 40);
            report.Debug(3, "WaitForACK NACK (0x41)");
            report.Debug(3, "DbgAnsw: 0x01");
            report.Debug(3, "DbgAnsw: 0x02");
            report.Fail(0, "FPL_SendStream error rx (0x00000000 - 0x0000001F)");
            report.Fail(0, "TFPL::Program can not send stream");
            cb_(7, 100);
            return true;
        case Module::kNackAtSync:
            ++s_.started;
            heard_ = true;
            cb_(1, 0);
            report.Debug(3, "WaitForACK NACK (0x41)");
            report.Fail(0, "FPL_Boot timeout");
            cb_(7, 100);
            return true;
        case Module::kMidway: {
            ++s_.started;
            heard_ = true;
            cb_(1, 0);
            cb_(2, 100);
            cb_(3, 60);
            std::unique_lock lock(s_.mutex);
            s_.cv.wait(lock, [this] { return aborted_.load(); });
            cb_(7, 100);
            return true;
        }
        case Module::kLost:
            ++s_.started;
            heard_ = true;
            cb_(1, 0);
            cb_(2, 100);
            cb_(3, 30);
            if (auto* c = dynamic_cast<LosingChannel*>(channel_))
                c->Lose("the adapter was pulled out");
            report.Fail(0, "FPL_SendStream error tx (0x00000100 - 0x000001FF)");
            cb_(7, 100);
            return true;
        case Module::kNone: {
            std::unique_lock lock(s_.mutex);
            s_.cv.wait(lock, [this] { return aborted_.load(); });
            return true;
        }
        }
        return true;
    }
    void Abort() override {
        aborted_ = true;
        std::lock_guard lock(s_.mutex);
        s_.cv.notify_all();
    }
    std::vector<std::string> SavedDumps() const override { return {}; }
    bool HeardAnswer() const override { return heard_; }

private:
    Scripts& s_;
    std::string port_;
    TFPLibCallback cb_;
    TChannel* channel_;
    std::atomic<bool> aborted_{false};
    bool heard_ = false;
};

// Channels for scripted modules: ports named here do not open ("permission denied"), or open
// only once (a port lost and never back: "no such device").
struct ScriptedPorts {
    std::mutex mutex;
    std::vector<std::pair<int32_t, zem::TlsTrust>> opens; // level code and trust of every open
    std::set<std::string> unopenable;
    std::set<std::string> openOnce;
    std::map<std::string, int> opened;
};

inline zem::Services ScriptedServices(Scripts& scripts, ScriptedPorts& ports) {
    zem::Services s;
    s.openChannel = [&ports](const std::string& port, int32_t level, const zem::TlsTrust& trust,
                             std::string* cause) -> TChannel* {
        std::lock_guard lock(ports.mutex);
        ports.opens.emplace_back(level, trust);
        // A port that is there but refused is the station's setup; one that has gone is
        // waited for.
        if (ports.unopenable.count(port)) {
            if (cause) *cause = "permission denied";
            return nullptr;
        }
        if (ports.openOnce.count(port) && ports.opened[port] > 0) {
            if (cause) *cause = "no such device";
            return nullptr;
        }
        ++ports.opened[port];
        return new LosingChannel();
    };
    s.freeChannel = [](TChannel* c) { delete c; };
    s.newRunner = [&scripts](int32_t, const std::string& port, TChannel* channel,
                             const std::string&,
                             TFPLibCallback cb) -> std::unique_ptr<zem::ProgramRunner> {
        return std::make_unique<ScriptedRunner>(scripts, port, cb, channel);
    };
    return s;
}
