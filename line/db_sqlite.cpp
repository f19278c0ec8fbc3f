#include "Db.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace zem::line {

namespace {

class SqliteDb : public Db {
public:
    using Db::Exec;
    SqliteDb(sqlite3* db, std::string file) : db_(db), file_(std::move(file)) {}
    ~SqliteDb() override { sqlite3_close_v2(db_); }

    bool Exec(const std::string& sql, const std::vector<Value>& params, std::vector<Row>* rows,
              int64_t* changed, std::string& error) override {
        sqlite3_stmt* st = nullptr;
        const char* tail = sql.c_str();
        const char* end = tail + sql.size();
        // Several statements in one text (the schema's steps) run one after another; parameters
        // belong to the single-statement calls.
        while (tail < end) {
            if (sqlite3_prepare_v2(db_, tail, static_cast<int>(end - tail), &st, &tail) !=
                SQLITE_OK) {
                error = Error("prepare");
                return false;
            }
            if (!st) break; // only white space or comments were left
            int n = sqlite3_bind_parameter_count(st);
            for (int i = 1; i <= n; ++i) {
                // "$7" is the seventh value, wherever it stands in the text.
                const char* name = sqlite3_bind_parameter_name(st, i);
                long index = name ? std::strtol(name + 1, nullptr, 10) : i;
                if (index < 1 || static_cast<size_t>(index) > params.size()) {
                    sqlite3_finalize(st);
                    error =
                        "statement parameter " + std::string(name ? name : "?") + " has no value";
                    return false;
                }
                const Value& v = params[static_cast<size_t>(index - 1)];
                int rc = v ? sqlite3_bind_text(st, i, v->data(), static_cast<int>(v->size()),
                                               SQLITE_TRANSIENT)
                           : sqlite3_bind_null(st, i);
                if (rc != SQLITE_OK) {
                    sqlite3_finalize(st);
                    error = Error("bind");
                    return false;
                }
            }
            int rc;
            while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
                if (!rows) continue;
                Row row;
                int cols = sqlite3_column_count(st);
                for (int c = 0; c < cols; ++c) {
                    if (sqlite3_column_type(st, c) == SQLITE_NULL) {
                        row.emplace_back();
                    } else {
                        auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
                        row.emplace_back(std::string(text, sqlite3_column_bytes(st, c)));
                    }
                }
                rows->push_back(std::move(row));
            }
            sqlite3_finalize(st);
            if (rc != SQLITE_DONE) {
                error = Error("step");
                return false;
            }
            if (changed) *changed = sqlite3_changes64(db_);
        }
        return true;
    }

    std::string Describe() const override { return "SQLite " + file_; }
    const char* BeginWrite() const override { return "BEGIN IMMEDIATE"; }

private:
    std::string Error(const char* what) const {
        return std::string("SQLite ") + what + " on " + file_ + ": " + sqlite3_errmsg(db_);
    }
    sqlite3* db_;
    std::string file_;
};

} // namespace

std::unique_ptr<Db> OpenSqlite(const std::string& file, std::string& error) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(file.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        error = "can not open the SQLite database " + file + ": " +
                (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        return nullptr;
    }
    // Several services (and the command line beside them) share the file: writers wait for each
    // other instead of failing, and readers never block the writer.
    sqlite3_busy_timeout(db, 10000);
    auto out = std::make_unique<SqliteDb>(db, file);
    std::vector<Row> rows;
    // Changing the journal mode takes the file for itself and does not use the busy handler: a
    // second service opening a new file at the same moment is told "locked" at once. It waits
    // here as long as a writer would.
    for (int waited = 0;; waited += 10) {
        rows.clear();
        if (out->Exec("PRAGMA journal_mode=WAL", {}, &rows, nullptr, error)) break;
        if ((sqlite3_errcode(db) & 0xff) != SQLITE_BUSY || waited >= 10000) return nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!out->Exec("PRAGMA synchronous=FULL", {}, error) ||
        !out->Exec("PRAGMA foreign_keys=ON", {}, error))
        return nullptr;
    return out;
}

std::unique_ptr<Db> OpenDb(const std::string& target, std::string& error) {
    if (target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0)
        return OpenPostgres(target, error);
    return OpenSqlite(target, error);
}

} // namespace zem::line
