#include "LineForwarder.h"

#include "ProfileFile.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <map>
#include <vector>

namespace zem {

using nlohmann::json;

namespace {

std::string Reason(const HttpAnswer& a) {
    json j = json::parse(a.body, nullptr, false);
    if (j.is_object() && j.contains("error") && j["error"].is_string())
        return j["error"].get<std::string>();
    return "HTTP " + std::to_string(a.status);
}

HttpRequest Request(const LineLink& link, const std::string& method, const std::string& path) {
    HttpRequest q;
    q.method = method;
    std::string base = link.url;
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    q.url = base + path;
    q.bearer = link.token;
    q.caFile = link.caFile;
    q.certFile = link.certFile;
    q.keyFile = link.keyFile;
    return q;
}

// The API's result for an end line of the log; false for a line that is not one to send (a
// start line, a line of a version before runs had ids, a line torn by a crash).
bool ResultOf(const json& line, const std::map<std::string, std::string>& starts, json& out) {
    if (!line.is_object() || line.value("event", "") != "end") return false;
    auto id = line.find("run_id");
    if (id == line.end() || !id->is_string()) return false;
    auto text = [&](const char* key) {
        auto it = line.find(key);
        return it != line.end() && it->is_string() ? *it : json();
    };
    auto str = [&](const char* key) {
        auto it = line.find(key);
        return it != line.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    auto integer = [&](const char* key) {
        auto it = line.find(key);
        return it != line.end() && it->is_number_integer() ? it->get<int64_t>() : int64_t{0};
    };
    auto s = starts.find(id->get<std::string>());
    json dumps = line.contains("dumps") && line["dumps"].is_array() ? line["dumps"] : json::array();
    out = json{{"result_id", *id},
               {"port", str("port")},
               {"alias", text("alias")},
               {"outcome", str("outcome")},
               {"exit_code", integer("exit_code")},
               {"status", str("status")},
               {"cause", text("cause").is_null() ? text("lost") : text("cause")},
               {"started_at", s == starts.end() ? json() : json(s->second)},
               {"finished_at", str("time")},
               {"duration_ms", integer("duration_ms")},
               {"stream_sha256", text("stream_sha256")},
               {"stream", str("stream")},
               {"speed", str("speed")},
               {"dumps", dumps},
               {"host", str("host")},
               {"version", str("version")}};
    return true;
}

} // namespace

int LookUpJob(const LineLink& link, const std::string& sha256, const HttpFunction& http,
              LineJob& job, std::string& error) {
    HttpRequest q = Request(link, "GET", "/api/v1/jobs/stream/" + sha256);
    q.timeoutMs = 10000;
    HttpAnswer a;
    if (!http(q, a, error)) {
        error = "can not reach the line " + link.url + ": " + error;
        return -1;
    }
    if (a.status == 404) return 0;
    if (a.status != 200) {
        error = "the line " + link.url + " refused: " + Reason(a);
        return -1;
    }
    json j = json::parse(a.body, nullptr, false);
    if (!j.is_object() || !j.contains("name") || !j["name"].is_string()) {
        error = "the line " + link.url + " answered something that is not a job";
        return -1;
    }
    job.name = j["name"];
    job.sha256 = sha256;
    job.quantity =
        j.value("quantity", json()).is_number_integer() ? j["quantity"].get<int64_t>() : -1;
    job.programmed = j.value("programmed", int64_t{0});
    job.retired = !j.value("retired_at", json()).is_null();
    return 1;
}

LineForwarder::LineForwarder(Options options, HttpFunction http,
                             std::function<void(const std::string&)> say)
    : o_(std::move(options)), http_(std::move(http)), say_(std::move(say)) {
    if (o_.cursorPath.empty()) o_.cursorPath = o_.logPath + ".line-cursor";
    if (o_.batch == 0) o_.batch = 1;
}

LineForwarder::~LineForwarder() {
    Stop();
}

void LineForwarder::Start() {
    if (thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        stop_ = false;
    }
    thread_ = std::thread([this] { Loop(); });
}

void LineForwarder::Stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool LineForwarder::Drain(uint32_t ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock lock(mutex_);
    // A pass under way may have read the log before its last lines: then the one after it
    // counts; an idle thread's next pass starts after this call and reads them all.
    uint64_t target = passes_ + (inPass_ ? 2 : 1);
    now_ = true;
    wake_.notify_all();
    return wake_.wait_until(
        lock, until, [&] { return passes_ >= target && backlogKnown_ && backlog_.unsent == 0; });
}

LineBacklog LineForwarder::Backlog() const {
    std::lock_guard lock(mutex_);
    return backlog_;
}

void LineForwarder::Say(const std::string& text) {
    if (text == lastSaid_) return;
    lastSaid_ = text;
    if (say_) say_(text);
}

uint64_t LineForwarder::ReadCursor() {
    std::ifstream in(o_.cursorPath);
    unsigned long long offset = 0;
    if (!(in >> offset)) return 0; // no cursor yet: the whole log is to be sent
    return offset;
}

bool LineForwarder::WriteCursor(uint64_t offset) {
    return WriteFileAtomically(o_.cursorPath, std::to_string(offset) + "\n");
}

void LineForwarder::RefreshJob() {
    if (o_.jobSha256.empty()) return;
    LineJob job;
    std::string error;
    if (LookUpJob(o_.link, o_.jobSha256, http_, job, error) == 1)
        SetJobOthers(job.programmed - ackedProgrammed_);
}

bool LineForwarder::PassOnce() {
    bool idle = false;
    return Pass(idle);
}

bool LineForwarder::Pass(bool& idle) {
    idle = true;
    uint64_t cursor = ReadCursor();
    std::ifstream in(o_.logPath, std::ios::binary);
    if (!in) {
        std::lock_guard lock(mutex_);
        backlog_ = {};
        backlogKnown_ = true;
        wake_.notify_all();
        return true; // nothing written yet
    }
    in.seekg(0, std::ios::end);
    uint64_t size = static_cast<uint64_t>(in.tellg());
    // A log shorter than the cursor was replaced: all of it is new to the line, and what the line
    // has already it keeps once.
    if (cursor > size) cursor = 0;
    in.seekg(static_cast<std::streamoff>(cursor));

    // Every complete line after the cursor, with the offset just after it.
    struct Pending {
        json result;
        uint64_t end;
        bool programmed;
        std::string time;
    };
    std::vector<Pending> pending;
    // Start lines are kept from pass to pass: the cursor moves past a start line whose run has
    // not ended yet, and its end line goes with its start time when it comes.
    std::map<std::string, std::string>& starts = starts_;
    uint64_t at = cursor, lastComplete = cursor;
    std::string line;
    while (std::getline(in, line)) {
        if (in.eof()) break; // no newline yet: its writer is not done with it
        at += line.size() + 1;
        lastComplete = at;
        json j = json::parse(line, nullptr, false);
        if (j.is_object() && j.value("event", "") == "start" && j.contains("run_id") &&
            j["run_id"].is_string() && j.contains("time") && j["time"].is_string())
            starts[j["run_id"]] = j["time"];
        json r;
        if (ResultOf(j, starts, r))
            pending.push_back({r, at, r["outcome"] == "programmed", r["finished_at"]});
    }
    auto publish = [&](size_t from, uint64_t) {
        LineBacklog b;
        for (size_t i = from; i < pending.size(); ++i) {
            ++b.unsent;
            if (pending[i].programmed) ++b.programmedUnsent;
            if (b.oldest.empty()) b.oldest = pending[i].time;
        }
        bool changed;
        {
            std::lock_guard lock(mutex_);
            changed = !backlogKnown_ || b.unsent != backlog_.unsent || b.oldest != backlog_.oldest;
            backlog_ = b;
            backlogKnown_ = true;
            wake_.notify_all();
        }
        if (changed && o_.backlogChanged) o_.backlogChanged();
    };
    publish(0, cursor);
    if (pending.empty()) {
        // Only lines not to send (start lines, torn ones): the cursor moves past them.
        if (lastComplete != cursor && !WriteCursor(lastComplete)) {
            Say("can not write the cursor file " + o_.cursorPath);
            return false;
        }
        return true;
    }
    idle = false;
    for (size_t from = 0; from < pending.size(); from += o_.batch) {
        size_t to = std::min(pending.size(), from + o_.batch);
        json body{{"results", json::array()}};
        for (size_t i = from; i < to; ++i)
            body["results"].push_back(pending[i].result);
        HttpRequest q = Request(o_.link, "POST", "/api/v1/results");
        q.body = body.dump(-1, ' ', false, json::error_handler_t::replace);
        q.timeoutMs = o_.timeoutMs;
        HttpAnswer a;
        std::string error;
        // The backlog goes with the reason: told again as it grows, not on every retry.
        std::string waiting = "; " + std::to_string(pending.size() - from) +
                              " results waiting since " + pending[from].time;
        if (!http_(q, a, error)) {
            Say("line " + o_.link.url + " not reached: " + error + waiting);
            return false;
        }
        if (a.status != 200) {
            Say("line " + o_.link.url + " refused the results: " + Reason(a) + waiting);
            return false;
        }
        // Acknowledged: the cursor moves past the batch's last line and is on the disk before
        // the next batch goes.
        uint64_t end = to == pending.size() ? lastComplete : pending[to - 1].end;
        if (!WriteCursor(end)) {
            Say("can not write the cursor file " + o_.cursorPath);
            return false;
        }
        for (size_t i = from; i < to; ++i) {
            // On the line with its start time: the start is no longer needed.
            starts.erase(pending[i].result["result_id"].get<std::string>());
            if (pending[i].end <= o_.sessionStart) continue;
            ackedSession_.fetch_add(1, std::memory_order_acq_rel);
            if (pending[i].programmed) ++ackedProgrammed_;
        }
        publish(to, end);
        // Heard of again only after something went wrong.
        if (!lastSaid_.empty()) Say("line " + o_.link.url + " reached: results acknowledged");
    }
    RefreshJob();
    return true;
}

void LineForwarder::Loop() {
    uint32_t retryMs = o_.firstRetryMs;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            inPass_ = true;
        }
        bool idle = true;
        bool ok = Pass(idle);
        {
            std::lock_guard lock(mutex_);
            inPass_ = false;
            ++passes_;
        }
        wake_.notify_all();
        uint32_t waitMs = o_.pollMs;
        if (!ok) {
            waitMs = retryMs;
            retryMs = std::min(o_.maxRetryMs, retryMs * 2);
        } else {
            retryMs = o_.firstRetryMs;
        }
        std::unique_lock lock(mutex_);
        if (wake_.wait_for(lock, std::chrono::milliseconds(waitMs),
                           [this] { return stop_ || now_; }) &&
            stop_)
            return;
        now_ = false;
    }
}

} // namespace zem
