#include "Store.h"

#include <map>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>

namespace zem::line {

namespace {

// Step N brings the schema from version N-1 to N. Times are UTC ISO 8601 text, which sorts as
// time does, on both databases alike.
const char* const kSteps[] = {
    R"(CREATE TABLE station (
  name TEXT PRIMARY KEY,
  token_hash TEXT NOT NULL UNIQUE,
  created_at TEXT NOT NULL,
  last_seen TEXT);
CREATE TABLE viewer (
  name TEXT PRIMARY KEY,
  token_hash TEXT NOT NULL UNIQUE,
  created_at TEXT NOT NULL);
CREATE TABLE job (
  name TEXT PRIMARY KEY,
  stream_sha256 TEXT NOT NULL,
  size BIGINT NOT NULL,
  quantity BIGINT,
  released_by TEXT NOT NULL,
  released_at TEXT NOT NULL,
  retired_at TEXT);
CREATE INDEX job_stream ON job (stream_sha256);
CREATE TABLE result (
  result_id TEXT PRIMARY KEY,
  station TEXT NOT NULL,
  port TEXT NOT NULL,
  alias TEXT,
  job TEXT,
  outcome TEXT NOT NULL,
  exit_code BIGINT NOT NULL,
  status TEXT NOT NULL,
  cause TEXT,
  started_at TEXT,
  finished_at TEXT NOT NULL,
  duration_ms BIGINT NOT NULL,
  stream_sha256 TEXT,
  stream TEXT NOT NULL,
  speed TEXT NOT NULL,
  dumps TEXT NOT NULL,
  host TEXT NOT NULL,
  version TEXT NOT NULL,
  received_at TEXT NOT NULL);
CREATE INDEX result_station_time ON result (station, finished_at);
CREATE INDEX result_time ON result (finished_at);
CREATE INDEX result_job ON result (job, outcome);
)",
    R"(CREATE TABLE live_station (
  station TEXT PRIMARY KEY,
  job TEXT NOT NULL,
  job_sha256 TEXT NOT NULL,
  backlog BIGINT NOT NULL,
  backlog_since TEXT NOT NULL,
  ports BIGINT NOT NULL,
  seen_at TEXT NOT NULL);
CREATE TABLE live_port (
  station TEXT NOT NULL,
  port BIGINT NOT NULL,
  name TEXT NOT NULL,
  state TEXT NOT NULL,
  percent BIGINT NOT NULL,
  cause TEXT NOT NULL,
  since TEXT NOT NULL,
  last_outcome TEXT,
  last_cause TEXT,
  last_at TEXT,
  PRIMARY KEY (station, port));
CREATE TABLE live_change (id BIGINT PRIMARY KEY, count BIGINT NOT NULL);
INSERT INTO live_change (id, count) VALUES (1, 0);
)",
    // Results stored while MQTT was on and not yet acknowledged by the broker, each owned by the
    // service that stored it: that service alone publishes it, so two services sharing the
    // database never both send it.
    R"(
CREATE TABLE mqtt_outbox (
  result_id TEXT PRIMARY KEY,
  owner TEXT NOT NULL,
  created_at TEXT NOT NULL);
CREATE INDEX mqtt_outbox_owner ON mqtt_outbox (owner, created_at);
)",
};
constexpr int kSteps_n = sizeof(kSteps) / sizeof(kSteps[0]);
static_assert(kSteps_n == kSchemaVersion, "one step per schema version");

constexpr const char* kResultColumns =
    "result_id, station, port, alias, job, outcome, exit_code, status, cause, started_at, "
    "finished_at, duration_ms, stream_sha256, stream, speed, dumps, host, version, received_at";

std::string Str(const Value& v) {
    return v ? *v : std::string();
}
int64_t Int(const Value& v) {
    return v && !v->empty() ? std::stoll(*v) : 0;
}

Result ResultOf(const Row& r) {
    Result x;
    x.resultId = Str(r[0]);
    x.station = Str(r[1]);
    x.port = Str(r[2]);
    x.alias = r[3];
    x.job = r[4];
    x.outcome = Str(r[5]);
    x.exitCode = Int(r[6]);
    x.status = Str(r[7]);
    x.cause = r[8];
    x.startedAt = r[9];
    x.finishedAt = Str(r[10]);
    x.durationMs = Int(r[11]);
    x.streamSha256 = r[12];
    x.stream = Str(r[13]);
    x.speed = Str(r[14]);
    x.dumps = Str(r[15]);
    x.host = Str(r[16]);
    x.version = Str(r[17]);
    x.receivedAt = Str(r[18]);
    return x;
}

// The filter as a WHERE clause over numbered parameters, appended to `params`.
std::string Where(const ResultFilter& f, std::vector<Value>& params) {
    std::string w = " WHERE 1=1";
    auto add = [&](const std::string& value, const char* clause) {
        if (value.empty()) return;
        params.emplace_back(value);
        w += std::string(" AND ") + clause + " $" + std::to_string(params.size());
    };
    add(f.since, "finished_at >=");
    add(f.until, "finished_at <");
    add(f.station, "station =");
    add(f.port, "port =");
    add(f.outcome, "outcome =");
    add(f.job, "job =");
    return w;
}

} // namespace

std::string NowUtc() {
    return UtcIso(std::chrono::system_clock::now());
}

std::string UtcIso(std::chrono::system_clock::time_point at) {
    using namespace std::chrono;
    auto now = floor<milliseconds>(at);
    auto day = floor<days>(now);
    year_month_day ymd{day};
    hh_mm_ss<milliseconds> t{now - day};
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                  static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()), static_cast<int>(t.hours().count()),
                  static_cast<int>(t.minutes().count()), static_cast<int>(t.seconds().count()),
                  static_cast<int>(t.subseconds().count()));
    return buf;
}

Store::Store(std::unique_ptr<Db> db) : db_(std::move(db)), describe_(db_->Describe()) {}

std::unique_ptr<Store> Store::Open(const std::string& target, std::string& error) {
    auto db = OpenDb(target, error);
    if (!db) return nullptr;
    std::unique_ptr<Store> store(new Store(std::move(db)));
    if (!store->Migrate(error)) return nullptr;
    return store;
}

bool Store::InTransaction(const std::function<bool(std::string&)>& body, std::string& error) {
    std::lock_guard lock(mutex_);
    if (!db_->Exec(db_->BeginWrite(), {}, error)) return false;
    if (!body(error)) {
        std::string ignored; // the first cause is the one to tell
        db_->Exec("ROLLBACK", {}, ignored);
        return false;
    }
    if (db_->Exec("COMMIT", {}, error)) return true;
    std::string ignored;
    db_->Exec("ROLLBACK", {}, ignored);
    return false;
}

bool Store::Migrate(std::string& error) {
    return InTransaction(
        [&](std::string& err) {
            std::vector<Row> rows;
            if (const char* lock = db_->SchemaLock(); lock && !db_->Exec(lock, {}, err))
                return false;
            if (!db_->Exec("CREATE TABLE IF NOT EXISTS schema_version (version BIGINT NOT NULL)",
                           {}, err) ||
                !db_->Exec("SELECT MAX(version) FROM schema_version", {}, &rows, nullptr, err))
                return false;
            int64_t have = rows.empty() ? 0 : Int(rows[0][0]);
            if (have > kSchemaVersion) {
                err = "the database " + describe_ + " has schema version " + std::to_string(have) +
                      ", newer than this zem-line knows (" + std::to_string(kSchemaVersion) +
                      "): use the zem-line that wrote it, or a newer one";
                return false;
            }
            for (int64_t v = have + 1; v <= kSchemaVersion; ++v) {
                if (!db_->Exec(kSteps[v - 1], {}, err)) {
                    err = "schema step " + std::to_string(v) + ": " + err;
                    return false;
                }
                if (!db_->Exec("INSERT INTO schema_version (version) VALUES ($1)",
                               {std::to_string(v)}, err))
                    return false;
            }
            return true;
        },
        error);
}

bool Store::AddStation(const std::string& name, const std::string& tokenHash, std::string& error) {
    return InTransaction(
        [&](std::string& err) {
            std::vector<Row> rows;
            if (!db_->Exec("SELECT name FROM station WHERE name = $1", {name}, &rows, nullptr, err))
                return false;
            if (!rows.empty()) {
                err = "station " + name + " exists already";
                return false;
            }
            return db_->Exec(
                "INSERT INTO station (name, token_hash, created_at) VALUES ($1, $2, $3)",
                {name, tokenHash, NowUtc()}, err);
        },
        error);
}

bool Store::AddViewer(const std::string& name, const std::string& tokenHash, std::string& error) {
    return InTransaction(
        [&](std::string& err) {
            std::vector<Row> rows;
            if (!db_->Exec("SELECT name FROM viewer WHERE name = $1", {name}, &rows, nullptr, err))
                return false;
            if (!rows.empty()) {
                err = "viewer " + name + " exists already";
                return false;
            }
            return db_->Exec(
                "INSERT INTO viewer (name, token_hash, created_at) VALUES ($1, $2, $3)",
                {name, tokenHash, NowUtc()}, err);
        },
        error);
}

bool Store::StationForToken(const std::string& tokenHash, std::string& name, std::string& error) {
    std::lock_guard lock(mutex_);
    std::vector<Row> rows;
    if (!db_->Exec("SELECT name FROM station WHERE token_hash = $1", {tokenHash}, &rows, nullptr,
                   error))
        return false;
    name = rows.empty() ? std::string() : Str(rows[0][0]);
    return true;
}

bool Store::ViewerForToken(const std::string& tokenHash, std::string& name, std::string& error) {
    std::lock_guard lock(mutex_);
    std::vector<Row> rows;
    if (!db_->Exec("SELECT name FROM viewer WHERE token_hash = $1", {tokenHash}, &rows, nullptr,
                   error))
        return false;
    name = rows.empty() ? std::string() : Str(rows[0][0]);
    return true;
}

void Store::SetOutboxOwner(const std::string& owner) {
    std::lock_guard lock(mutex_);
    outboxOwner_ = owner;
}

bool Store::AddResults(const std::vector<Result>& results, const std::string& station,
                       size_t& added, bool& conflict, std::string& error,
                       std::vector<Result>* stored) {
    added = 0;
    if (stored) stored->clear();
    conflict = false;
    std::string received = NowUtc();
    // Many rows per statement: one round trip to the database for a station's batch, not one per
    // result. Chunks keep the parameters under both databases' limits.
    constexpr size_t kRowsPerStatement = 250;
    return InTransaction(
        [&](std::string& err) {
            size_t n = 0;
            for (size_t from = 0; from < results.size(); from += kRowsPerStatement) {
                size_t to = std::min(results.size(), from + kRowsPerStatement);
                std::string sql =
                    std::string("INSERT INTO result (") + kResultColumns + ") VALUES ";
                std::vector<Value> params;
                for (size_t i = from; i < to; ++i) {
                    const Result& r = results[i];
                    size_t b = params.size();
                    auto p = [&](size_t k) { return "$" + std::to_string(b + k); };
                    // The job is the service's to name: the live job released for this stream.
                    sql += std::string(i == from ? "" : ", ") + "(" + p(1) + ", " + p(2) + ", " +
                           p(3) + ", " + p(4) +
                           ", (SELECT name FROM job WHERE stream_sha256 = " + p(12) +
                           " ORDER BY (retired_at IS NULL) DESC, released_at DESC LIMIT 1)";
                    for (size_t k = 5; k <= 18; ++k)
                        sql += ", " + p(k);
                    sql += ")";
                    params.insert(params.end(),
                                  {r.resultId, station, r.port, r.alias, r.outcome,
                                   std::to_string(r.exitCode), r.status, r.cause, r.startedAt,
                                   r.finishedAt, std::to_string(r.durationMs), r.streamSha256,
                                   r.stream, r.speed, r.dumps, r.host, r.version, received});
                }
                sql += " ON CONFLICT (result_id) DO NOTHING RETURNING result_id, job";
                std::vector<Row> inserted;
                if (!db_->Exec(sql, params, &inserted, nullptr, err)) return false;
                n += inserted.size();
                if (!inserted.empty() && !outboxOwner_.empty()) {
                    std::string out =
                        "INSERT INTO mqtt_outbox (result_id, owner, created_at) VALUES ";
                    std::vector<Value> op{outboxOwner_, received};
                    for (size_t i = 0; i < inserted.size(); ++i) {
                        op.push_back(inserted[i][0]);
                        out += std::string(i ? ", " : "") + "($" + std::to_string(op.size()) +
                               ", $1, $2)";
                    }
                    if (!db_->Exec(out + " ON CONFLICT (result_id) DO NOTHING", op, err))
                        return false;
                }
                if (stored) {
                    std::map<std::string, Value> jobOf;
                    for (const Row& row : inserted)
                        jobOf[Str(row[0])] = row[1];
                    for (size_t i = from; i < to; ++i) {
                        auto it = jobOf.find(results[i].resultId);
                        if (it == jobOf.end()) continue;
                        Result r = results[i];
                        r.station = station;
                        r.job = it->second;
                        r.receivedAt = received;
                        stored->push_back(std::move(r));
                        jobOf.erase(it); // a duplicate inside the batch was stored once
                    }
                }
                if (inserted.size() == to - from) continue;
                // Some were there already: sent again by their station, or another's ids.
                std::string check = "SELECT result_id, station FROM result WHERE station <> $1 "
                                    "AND result_id IN (";
                std::vector<Value> ids{station};
                for (size_t i = from; i < to; ++i) {
                    ids.emplace_back(results[i].resultId);
                    check += (i == from ? "$" : ", $") + std::to_string(ids.size());
                }
                check += ")";
                std::vector<Row> theirs;
                if (!db_->Exec(check, ids, &theirs, nullptr, err)) return false;
                if (!theirs.empty()) {
                    conflict = true;
                    err =
                        "result " + Str(theirs[0][0]) + " belongs to station " + Str(theirs[0][1]);
                    return false;
                }
            }
            if (!db_->Exec("UPDATE station SET last_seen = $1 WHERE name = $2", {received, station},
                           err))
                return false;
            added = n;
            return true;
        },
        error);
}

bool Store::OutboxPending(const std::string& owner, const std::string& before, size_t limit,
                          std::vector<Result>& out, std::string& error) {
    std::string cols = kResultColumns;
    for (size_t at = 0;;) { // every column of the result's, not the outbox's
        cols.insert(at, "r.");
        at = cols.find(", ", at);
        if (at == std::string::npos) break;
        at += 2;
    }
    std::vector<Row> rows;
    std::lock_guard lock(mutex_);
    if (!db_->Exec("SELECT " + cols +
                       " FROM mqtt_outbox o JOIN result r ON r.result_id = o.result_id "
                       "WHERE o.owner = $1 AND o.created_at < $2 ORDER BY o.created_at, "
                       "o.result_id LIMIT " +
                       std::to_string(limit),
                   {owner, before}, &rows, nullptr, error))
        return false;
    out.clear();
    for (const Row& r : rows)
        out.push_back(ResultOf(r));
    return true;
}

bool Store::OutboxDone(const std::vector<std::string>& resultIds, std::string& error) {
    constexpr size_t kPerStatement = 250;
    return InTransaction(
        [&](std::string& err) {
            for (size_t from = 0; from < resultIds.size(); from += kPerStatement) {
                size_t to = std::min(resultIds.size(), from + kPerStatement);
                std::string sql = "DELETE FROM mqtt_outbox WHERE result_id IN (";
                std::vector<Value> ids;
                for (size_t i = from; i < to; ++i) {
                    ids.emplace_back(resultIds[i]);
                    sql += (i == from ? "$" : ", $") + std::to_string(ids.size());
                }
                if (!db_->Exec(sql + ")", ids, err)) return false;
            }
            return true;
        },
        error);
}

bool Store::Results(const ResultFilter& f, std::vector<Result>& out, std::string& error) {
    std::vector<Value> params;
    std::string sql = std::string("SELECT ") + kResultColumns + " FROM result" + Where(f, params) +
                      " ORDER BY finished_at, result_id";
    if (f.limit > 0) sql += " LIMIT " + std::to_string(f.limit);
    std::vector<Row> rows;
    std::lock_guard lock(mutex_);
    if (!db_->Exec(sql, params, &rows, nullptr, error)) return false;
    out.clear();
    for (const Row& r : rows)
        out.push_back(ResultOf(r));
    return true;
}

bool Store::Summary(const std::string& by, const ResultFilter& f, std::vector<SummaryRow>& out,
                    std::string& error) {
    std::string key;
    if (by == "station")
        key = "station";
    else if (by == "job")
        key = "COALESCE(job, '')";
    else if (by == "hour")
        key = "substr(finished_at, 1, 13)";
    else {
        error = "summary by " + by + ": station, job or hour";
        return false;
    }
    std::vector<Value> params;
    std::string sql = "SELECT " + key +
                      ", SUM(CASE WHEN outcome = 'programmed' THEN 1 ELSE 0 END), "
                      "SUM(CASE WHEN outcome = 'programmed' THEN 0 ELSE 1 END), "
                      "MIN(finished_at), MAX(finished_at) FROM result" +
                      Where(f, params) + " GROUP BY 1 ORDER BY 1";
    std::vector<Row> rows;
    std::lock_guard lock(mutex_);
    if (!db_->Exec(sql, params, &rows, nullptr, error)) return false;
    out.clear();
    for (const Row& r : rows)
        out.push_back({Str(r[0]), Int(r[1]), Int(r[2]), Str(r[3]), Str(r[4])});
    return true;
}

bool Store::PutLiveState(const LiveStation& st, const std::vector<LivePort>& ports,
                         std::vector<LivePort>& changed, std::string& error) {
    changed.clear();
    return InTransaction(
        [&](std::string& err) {
            std::vector<Row> rows;
            if (!db_->Exec("SELECT job, job_sha256, backlog, backlog_since, ports FROM "
                           "live_station WHERE station = $1",
                           {st.station}, &rows, nullptr, err))
                return false;
            bool any = rows.empty() || Str(rows[0][0]) != st.job ||
                       Str(rows[0][1]) != st.jobSha256 || Int(rows[0][2]) != st.backlog ||
                       Str(rows[0][3]) != st.backlogSince || Int(rows[0][4]) != st.ports;
            std::string now = NowUtc();
            if (!db_->Exec("INSERT INTO live_station (station, job, job_sha256, backlog, "
                           "backlog_since, ports, seen_at) VALUES ($1, $2, $3, $4, $5, $6, $7) "
                           "ON CONFLICT (station) DO UPDATE SET job = $2, job_sha256 = $3, "
                           "backlog = $4, backlog_since = $5, ports = $6, seen_at = $7",
                           {st.station, st.job, st.jobSha256, std::to_string(st.backlog),
                            st.backlogSince, std::to_string(st.ports), now},
                           err))
                return false;
            rows.clear();
            if (!db_->Exec("SELECT port, name, state, percent, cause, since, last_outcome, "
                           "last_cause, last_at FROM live_port WHERE station = $1",
                           {st.station}, &rows, nullptr, err))
                return false;
            std::map<int64_t, const Row*> old;
            for (const Row& r : rows)
                old[Int(r[0])] = &r;
            for (LivePort p : ports) {
                auto it = old.find(p.port);
                const Row* o = it == old.end() ? nullptr : it->second;
                if (o && Str((*o)[1]) == p.name && Str((*o)[2]) == p.state &&
                    Int((*o)[3]) == p.percent && Str((*o)[4]) == p.cause &&
                    (*o)[6] == p.lastOutcome && (*o)[7] == p.lastCause)
                    continue;
                // The last result is the station's to say (it stays in the cell until the
                // port's next module answers); its time is the service's, kept while it is the
                // same result.
                bool sameLast = o && (*o)[6] == p.lastOutcome && (*o)[7] == p.lastCause;
                if (sameLast)
                    p.lastAt = (*o)[8];
                else if (p.lastOutcome)
                    p.lastAt = now;
                if (!db_->Exec(
                        "INSERT INTO live_port (station, port, name, state, percent, cause, "
                        "since, last_outcome, last_cause, last_at) VALUES ($1, $2, $3, $4, $5, "
                        "$6, $7, $8, $9, $10) ON CONFLICT (station, port) DO UPDATE SET name = "
                        "$3, state = $4, percent = $5, cause = $6, since = $7, last_outcome = "
                        "$8, last_cause = $9, last_at = $10",
                        {st.station, std::to_string(p.port), p.name, p.state,
                         std::to_string(p.percent), p.cause, p.since, p.lastOutcome, p.lastCause,
                         p.lastAt},
                        err))
                    return false;
                changed.push_back(p);
            }
            int64_t gone = 0;
            if (!db_->Exec("DELETE FROM live_port WHERE station = $1 AND port > $2",
                           {st.station, std::to_string(ports.size())}, nullptr, &gone, err))
                return false;
            if (!any && changed.empty() && gone == 0) return true;
            return db_->Exec("UPDATE live_change SET count = count + 1 WHERE id = 1", {}, err);
        },
        error);
}

bool Store::LiveState(std::vector<LiveStation>& stations, std::vector<LivePort>& ports,
                      std::string& error) {
    std::lock_guard lock(mutex_);
    std::vector<Row> rows;
    if (!db_->Exec("SELECT s.name, l.job, l.job_sha256, l.backlog, l.backlog_since, l.ports, "
                   "l.seen_at FROM station s LEFT JOIN live_station l ON l.station = s.name "
                   "ORDER BY s.name",
                   {}, &rows, nullptr, error))
        return false;
    stations.clear();
    for (const Row& r : rows)
        stations.push_back({Str(r[0]), Str(r[1]), Str(r[2]), Int(r[3]), Str(r[4]),
                            static_cast<int>(Int(r[5])), r[6]});
    rows.clear();
    if (!db_->Exec("SELECT station, port, name, state, percent, cause, since, last_outcome, "
                   "last_cause, last_at FROM live_port ORDER BY station, port",
                   {}, &rows, nullptr, error))
        return false;
    ports.clear();
    for (const Row& r : rows)
        ports.push_back({Str(r[0]), static_cast<int>(Int(r[1])), Str(r[2]), Str(r[3]),
                         static_cast<int>(Int(r[4])), Str(r[5]), Str(r[6]), r[7], r[8], r[9]});
    return true;
}

bool Store::ChangeCount(int64_t& count, std::string& error) {
    std::lock_guard lock(mutex_);
    std::vector<Row> rows;
    if (!db_->Exec("SELECT count FROM live_change WHERE id = 1", {}, &rows, nullptr, error))
        return false;
    count = rows.empty() ? 0 : Int(rows[0][0]);
    return true;
}

bool Store::ReleaseJob(const Job& job, std::string& error) {
    return InTransaction(
        [&](std::string& err) {
            std::vector<Row> rows;
            if (!db_->Exec("SELECT name, retired_at FROM job WHERE name = $1 OR "
                           "(stream_sha256 = $2 AND retired_at IS NULL)",
                           {job.name, job.streamSha256}, &rows, nullptr, err))
                return false;
            for (const Row& r : rows) {
                if (Str(r[0]) == job.name) {
                    err = "job " + job.name + " was released already" +
                          (r[1] ? " (and retired " + *r[1] + ")" : std::string()) +
                          ": give the new release a name of its own";
                } else {
                    err = "this stream is released already as job " + Str(r[0]);
                }
                return false;
            }
            return db_->Exec(
                "INSERT INTO job (name, stream_sha256, size, quantity, released_by, released_at) "
                "VALUES ($1, $2, $3, $4, $5, $6)",
                {job.name, job.streamSha256, std::to_string(job.size),
                 job.quantity < 0 ? Value() : Value(std::to_string(job.quantity)), job.releasedBy,
                 NowUtc()},
                err);
        },
        error);
}

bool Store::RetireJob(const std::string& name, std::string& error) {
    return InTransaction(
        [&](std::string& err) {
            int64_t changed = 0;
            if (!db_->Exec("UPDATE job SET retired_at = $1 WHERE name = $2 AND retired_at IS NULL",
                           {NowUtc(), name}, nullptr, &changed, err))
                return false;
            if (changed == 0) {
                err = "no live job named " + name;
                return false;
            }
            return true;
        },
        error);
}

bool Store::CountProgrammed(Job& job, std::string& error) {
    std::vector<Row> rows;
    if (!db_->Exec("SELECT COUNT(*) FROM result WHERE job = $1 AND outcome = 'programmed'",
                   {job.name}, &rows, nullptr, error))
        return false;
    job.programmed = rows.empty() ? 0 : Int(rows[0][0]);
    return true;
}

namespace {
constexpr const char* kJobColumns =
    "name, stream_sha256, size, quantity, released_by, released_at, retired_at";
Job JobOf(const Row& r) {
    Job j;
    j.name = Str(r[0]);
    j.streamSha256 = Str(r[1]);
    j.size = Int(r[2]);
    j.quantity = r[3] ? Int(r[3]) : -1;
    j.releasedBy = Str(r[4]);
    j.releasedAt = Str(r[5]);
    j.retiredAt = r[6];
    return j;
}
} // namespace

bool Store::Jobs(std::vector<Job>& out, std::string& error) {
    std::lock_guard lock(mutex_);
    std::vector<Row> rows;
    if (!db_->Exec(std::string("SELECT ") + kJobColumns + " FROM job ORDER BY released_at, name",
                   {}, &rows, nullptr, error))
        return false;
    out.clear();
    for (const Row& r : rows) {
        out.push_back(JobOf(r));
        if (!CountProgrammed(out.back(), error)) return false;
    }
    return true;
}

bool Store::JobForStream(const std::string& sha256, Job& job, bool& found, std::string& error) {
    std::lock_guard lock(mutex_);
    std::vector<Row> rows;
    if (!db_->Exec(std::string("SELECT ") + kJobColumns +
                       " FROM job WHERE stream_sha256 = $1 "
                       "ORDER BY (retired_at IS NULL) DESC, released_at DESC LIMIT 1",
                   {sha256}, &rows, nullptr, error))
        return false;
    found = !rows.empty();
    if (!found) return true;
    job = JobOf(rows[0]);
    return CountProgrammed(job, error);
}

} // namespace zem::line
