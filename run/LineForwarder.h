#pragma once
#include "HttpClient.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace zem {

// Where a station sends its results: the line service's address, the station's token, and for
// https:// the trust of a device server's TLS (the same --ca/--cert/--key).
struct LineLink {
    std::string url; // http://HOST:PORT or https://HOST:PORT
    std::string token;
    std::string caFile, certFile, keyFile;
};

using HttpFunction = std::function<bool(const HttpRequest&, HttpAnswer&, std::string&)>;

// A released job as the line knows it.
struct LineJob {
    std::string name;
    std::string sha256;
    int64_t quantity = -1; // none
    int64_t programmed = 0;
    bool retired = false;
};

// Asks the line which job a stream is. Returns 1 with `job` filled for a job (live or retired),
// 0 when the stream is no released job, -1 when the line could not be asked (`error` says why:
// no answer, a refused token).
int LookUpJob(const LineLink& link, const std::string& sha256, const HttpFunction& http,
              LineJob& job, std::string& error);

// The results not yet acknowledged by the line: how many, since when (the station's time of the
// oldest), and how many of them programmed their module.
struct LineBacklog {
    size_t unsent = 0;
    size_t programmedUnsent = 0;
    std::string oldest; // empty when none
};

// Sends the results log's end lines to the line. The log is the outbox: the forwarder reads it
// from the offset recorded in the cursor file, sends the complete end lines after it in batches,
// and moves the cursor (written whole and synced) after each batch the line acknowledged. The
// station only appends to the log; nothing it does waits for this thread or for the network. A
// batch sent again after a crash is harmless: the line keeps a result once, by its run's id.
class LineForwarder {
public:
    struct Options {
        std::string logPath;
        std::string cursorPath; // empty: the log's path with ".line-cursor" added
        LineLink link;
        size_t batch = 200;           // end lines per request
        uint32_t pollMs = 500;        // how often an idle forwarder looks at the log
        uint32_t firstRetryMs = 1000; // after a failure, doubled up to maxRetryMs
        uint32_t maxRetryMs = 30000;
        unsigned timeoutMs = 15000; // one request, a hanging connection included
        std::string jobSha256;      // with a job: its programmed count is followed
        // Where this session's lines begin in the log: only results after it count as the
        // station's own programmed modules of the job (older ones were counted before).
        uint64_t sessionStart = 0;
        // Called from the forwarder's thread when the backlog changed (a display redraws it).
        std::function<void()> backlogChanged;
    };
    // `say`: a line for the operator when the link's state changes (refused, unreachable, back);
    // called from the forwarder's thread.
    LineForwarder(Options options, HttpFunction http, std::function<void(const std::string&)> say);
    ~LineForwarder();
    LineForwarder(const LineForwarder&) = delete;
    LineForwarder& operator=(const LineForwarder&) = delete;

    void Start();
    // Ends the thread at once; what was not acknowledged stays in the log for the next start.
    void Stop();
    // Waits until nothing is waiting, at most `ms`; true when the backlog is empty.
    bool Drain(uint32_t ms);
    LineBacklog Backlog() const;
    // The job's programmed count on the line, less what this forwarder itself had acknowledged
    // when it was read: with the station's own count since its start, the job's total.
    int64_t JobOthers() const { return jobOthers_.load(std::memory_order_acquire); }
    void SetJobOthers(int64_t n) { jobOthers_.store(n, std::memory_order_release); }
    // End lines of this session (after Options::sessionStart) that the line acknowledged.
    uint64_t AckedInSession() const { return ackedSession_.load(std::memory_order_acquire); }
    // The cursor file's path.
    const std::string& CursorPath() const { return o_.cursorPath; }

    // One pass, for tests without the thread: sends what it can; false when a batch failed.
    bool PassOnce();

private:
    void Loop();
    bool Pass(bool& idle);
    uint64_t ReadCursor();
    bool WriteCursor(uint64_t offset);
    void Say(const std::string& text);
    void RefreshJob();

    Options o_;
    HttpFunction http_;
    std::function<void(const std::string&)> say_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool now_ = false;    // a pass is wanted at once
    uint64_t passes_ = 0; // passes ended
    bool inPass_ = false;
    LineBacklog backlog_;
    bool backlogKnown_ = false;
    std::string lastSaid_;
    // The forwarder's thread only: start times of runs whose end line has not been sent (run id
    // to time).
    std::map<std::string, std::string> starts_;
    int64_t ackedProgrammed_ = 0;
    std::atomic<int64_t> jobOthers_{0};
    std::atomic<uint64_t> ackedSession_{0};
};

} // namespace zem
