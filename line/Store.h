#pragma once
#include "Db.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zem::line {

// The schema this build writes and reads.
constexpr int kSchemaVersion = 3;

// One module's result as the service keeps it.
struct Result {
    std::string resultId; // the run's UUID, made by the station when the run began
    std::string station;  // the name the station's token belongs to
    std::string port;
    Value alias;
    Value job; // the released job whose stream the run sent, when there was one
    std::string outcome;
    int64_t exitCode = 0;
    std::string status;
    Value cause; // why the port went away during the run
    Value startedAt;
    std::string finishedAt; // the station's clock, UTC, ISO 8601
    int64_t durationMs = 0;
    Value streamSha256;
    std::string stream; // its file name
    std::string speed;
    std::string dumps; // JSON array of file names
    std::string host;
    std::string version;
    std::string receivedAt; // the service's clock
};

struct Job {
    std::string name;
    std::string streamSha256;
    int64_t size = 0;
    int64_t quantity = -1; // none
    std::string releasedBy;
    std::string releasedAt;
    Value retiredAt;
    int64_t programmed = 0; // programmed results of this job so far
};

struct ResultFilter {
    std::string since; // finished_at at or after, ISO 8601 (a prefix such as "2026-12-11" works)
    std::string until; // finished_at before
    std::string station, port, outcome, job;
    int64_t limit = 0; // 0: all
};

struct SummaryRow {
    std::string key; // station, job or hour ("2026-12-11T03")
    int64_t programmed = 0, failed = 0;
    std::string first, last; // finished_at of the first and last result
};

// A port's live state as its station last reported it, with the last result it shows (the
// station holds it until the port's next module answers).
struct LivePort {
    std::string station;
    int port = 0;
    std::string name, state;
    int percent = 0;
    std::string cause, since;
    Value lastOutcome, lastCause, lastAt;
};

// A station's live report apart from its ports.
struct LiveStation {
    std::string station;
    std::string job, jobSha256;
    int64_t backlog = 0;
    std::string backlogSince;
    int ports = 0;
    Value seenAt; // the service's clock at its last report; none when it never reported
};

// The line's database behind one interface: SQLite or PostgreSQL, the same statements for both.
// Thread-safe (one connection, one statement at a time). Every call returns false with `error`
// in words when the database refuses or is gone; nothing is half done: writes are transactions.
class Store {
public:
    // Opens the database and brings its schema to this build's version; refuses a newer one.
    static std::unique_ptr<Store> Open(const std::string& target, std::string& error);

    const std::string& Describe() const { return describe_; }

    bool AddStation(const std::string& name, const std::string& tokenHash, std::string& error);
    bool AddViewer(const std::string& name, const std::string& tokenHash, std::string& error);
    // The station whose token hashes to this; empty when none.
    bool StationForToken(const std::string& tokenHash, std::string& name, std::string& error);
    bool ViewerForToken(const std::string& tokenHash, std::string& name, std::string& error);

    // Stores each result under its id, in one transaction; a result already there is left as it
    // is (a batch sent again is stored once). A result id that another station already used
    // refuses the whole batch (`conflict` true). `added`: how many were new.
    // `stored`, when given, receives the results that were new, with the station, job and time of
    // receipt the database gave them.
    bool AddResults(const std::vector<Result>& results, const std::string& station, size_t& added,
                    bool& conflict, std::string& error, std::vector<Result>* stored = nullptr);

    // With an owner (the MQTT client id of this service), every new result is also put in the
    // MQTT outbox under that owner, in the same transaction: a result the database has is one
    // that will be published even if the service dies before the broker acknowledged it.
    void SetOutboxOwner(const std::string& owner);
    // The owner's outbox results put there before `before` (UTC ISO 8601), oldest first.
    bool OutboxPending(const std::string& owner, const std::string& before, size_t limit,
                       std::vector<Result>& out, std::string& error);
    // The broker acknowledged these: out of the outbox.
    bool OutboxDone(const std::vector<std::string>& resultIds, std::string& error);
    bool Results(const ResultFilter& filter, std::vector<Result>& out, std::string& error);
    bool Summary(const std::string& by, const ResultFilter& filter, std::vector<SummaryRow>& out,
                 std::string& error);

    // Stores a station's report: its ports' states (all of them, numbered 1 to `ports.size()`)
    // and the rest. `changed` receives the ports whose state differs from the stored one. The
    // line's change count goes up when anything but the time of the report changed.
    bool PutLiveState(const LiveStation& station, const std::vector<LivePort>& ports,
                      std::vector<LivePort>& changed, std::string& error);
    // Every station of the line (those that never reported too) and every port reported.
    bool LiveState(std::vector<LiveStation>& stations, std::vector<LivePort>& ports,
                   std::string& error);
    // Goes up with each change of the live state: cheap to ask often.
    bool ChangeCount(int64_t& count, std::string& error);

    // A job's name is released once; the same stream may not be released under two live names.
    bool ReleaseJob(const Job& job, std::string& error);
    bool RetireJob(const std::string& name, std::string& error);
    bool Jobs(std::vector<Job>& out, std::string& error);
    // The job released for this stream, retired ones included (the newest first); `found` false
    // when there is none.
    bool JobForStream(const std::string& sha256, Job& job, bool& found, std::string& error);

private:
    explicit Store(std::unique_ptr<Db> db);
    bool Migrate(std::string& error);
    bool InTransaction(const std::function<bool(std::string&)>& body, std::string& error);
    bool CountProgrammed(Job& job, std::string& error);

    std::unique_ptr<Db> db_;
    std::string describe_;
    std::string outboxOwner_;
    std::mutex mutex_;
};

// The current time on this machine, UTC, ISO 8601 with milliseconds.
std::string NowUtc();
std::string UtcIso(std::chrono::system_clock::time_point at);

} // namespace zem::line
