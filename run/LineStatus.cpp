#include "LineStatus.h"

#include "ResultsLog.h"

#include <nlohmann/json.hpp>

#include <chrono>

namespace zem {

using nlohmann::json;

const char* LineStateWord(PortState state) {
    switch (state) {
    case PortState::kWaitingForModule:
    case PortState::kWaitingForPresence:
        return "waiting";
    case PortState::kProgramming:
        return "programming";
    case PortState::kProgrammed:
        return "programmed";
    case PortState::kFailed:
        return "failed";
    case PortState::kAborted:
        return "aborted";
    case PortState::kWaitingForRemoval:
        return "remove";
    case PortState::kPortLost:
        return "lost";
    case PortState::kDone:
        return "done";
    }
    return "waiting";
}

LineStatus::LineStatus(Options options, HttpFunction http)
    : o_(std::move(options)), http_(std::move(http)), ports_(o_.ports.size()) {
    std::string now = UtcNowIso();
    for (Port& p : ports_)
        p.since = now;
}

LineStatus::~LineStatus() {
    Stop();
}

void LineStatus::Start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
}

void LineStatus::Stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void LineStatus::PortState(size_t slot, const std::string& state, int percent,
                           const std::string& cause) {
    {
        std::lock_guard lock(mutex_);
        if (slot >= ports_.size()) return;
        Port& p = ports_[slot];
        if (p.state == state && p.percent == percent && p.cause == cause) return;
        if (p.state != state) p.since = UtcNowIso();
        if (state == "programmed" || state == "failed" || state == "aborted") {
            p.lastOutcome = state;
            p.lastCause = cause;
        } else if (state == "programming" && p.state != "programming") {
            p.lastOutcome.clear();
            p.lastCause.clear();
        }
        p.state = state;
        p.percent = percent;
        p.cause = cause;
        dirty_ = true;
    }
    wake_.notify_all();
}

void LineStatus::StationState(size_t slot, zem::PortState state, const std::string& text) {
    if (state == zem::PortState::kProgrammed || state == zem::PortState::kFailed ||
        state == zem::PortState::kAborted) {
        // The run's result said it already, with the reason; the state's text is only the status.
        std::lock_guard lock(mutex_);
        if (slot < ports_.size() && ports_[slot].state == LineStateWord(state)) return;
    }
    bool trouble = state == zem::PortState::kFailed || state == zem::PortState::kAborted ||
                   state == zem::PortState::kPortLost || state == zem::PortState::kDone;
    PortState(slot, LineStateWord(state), state == zem::PortState::kProgrammed ? 100 : 0,
              trouble ? text : std::string());
}

void LineStatus::StationProgress(size_t slot, int code, int32_t value) {
    // The protocol's codes carry the percentage; the countdown and the error code do not.
    if (code < 0 || code >= 7) return;
    PortState(slot, "programming", value < 0 ? 0 : value > 100 ? 100 : static_cast<int>(value), {});
}

void LineStatus::StationResult(size_t slot, const RunResult& r) {
    bool ok = r.exitCode == 0;
    PortState(slot, ok ? "programmed" : "failed", ok ? 100 : 0,
              ok ? std::string() : (WhyNotProgrammed(r).empty() ? r.status : WhyNotProgrammed(r)));
}

uint64_t LineStatus::Acknowledged() const {
    std::lock_guard lock(mutex_);
    return acked_;
}

bool LineStatus::LastAcknowledged() const {
    std::lock_guard lock(mutex_);
    return lastAcked_;
}

std::string LineStatus::Body() {
    LineBacklog backlog = o_.backlog ? o_.backlog() : LineBacklog{};
    json ports = json::array();
    {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < ports_.size(); ++i) {
            const Port& p = ports_[i];
            ports.push_back(json{{"port", i + 1},
                                 {"name", o_.ports[i]},
                                 {"state", p.state},
                                 {"percent", p.percent},
                                 {"cause", p.cause},
                                 {"since", p.since},
                                 {"last_outcome", p.lastOutcome},
                                 {"last_cause", p.lastCause}});
        }
    }
    json body{{"ports", ports},
              {"job", o_.job},
              {"job_sha256", o_.jobSha256},
              {"backlog", backlog.unsent},
              {"backlog_since", backlog.oldest}};
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

void LineStatus::Loop() {
    using Clock = std::chrono::steady_clock;
    std::string base = o_.link.url;
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    Clock::time_point last = Clock::now() - std::chrono::hours(1);
    std::unique_lock lock(mutex_);
    for (;;) {
        // A change goes at once unless a report went less than minGap ago; without one, the
        // heartbeat. After a failed report the next waits a heartbeat too, and carries all of it.
        bool stopping = stop_;
        if (stopping && lastFailed_) return; // no line to tell
        auto gap = std::chrono::milliseconds(dirty_ && lastAcked_ ? o_.minGapMs : o_.heartbeatMs);
        if (!stopping && Clock::now() < last + gap) {
            wake_.wait_until(lock, last + gap);
            continue;
        }
        dirty_ = false;
        lock.unlock();
        HttpRequest q;
        q.method = "POST";
        q.url = base + "/api/v1/state";
        q.bearer = o_.link.token;
        q.caFile = o_.link.caFile;
        q.certFile = o_.link.certFile;
        q.keyFile = o_.link.keyFile;
        q.timeoutMs = o_.timeoutMs;
        q.body = Body();
        HttpAnswer a;
        std::string error;
        bool ok = http_(q, a, error) && a.status == 200;
        last = Clock::now();
        lock.lock();
        lastAcked_ = ok;
        lastFailed_ = !ok;
        if (ok)
            ++acked_;
        else
            dirty_ = true; // all of it again when the line answers
        if (stopping) return;
    }
}

} // namespace zem
