#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zem::line {

// A value of a statement's parameter or of a column: text, or SQL NULL.
using Value = std::optional<std::string>;
using Row = std::vector<Value>;

// One connection to the database. Every statement is parameterised: `$1`, `$2`... in the text,
// values passed apart, so nothing a station or a reader sends is ever spliced into SQL. Values
// travel as text both ways; the database converts them to its column types.
class Db {
public:
    virtual ~Db() = default;
    // False with `error` in words. `rows` receives the result rows (may be null); `changed` the
    // number of rows an INSERT, UPDATE or DELETE touched.
    virtual bool Exec(const std::string& sql, const std::vector<Value>& params,
                      std::vector<Row>* rows, int64_t* changed, std::string& error) = 0;
    bool Exec(const std::string& sql, const std::vector<Value>& params, std::string& error) {
        return Exec(sql, params, nullptr, nullptr, error);
    }
    // What the database calls itself in messages ("SQLite FILE", "PostgreSQL HOST:PORT/DB").
    virtual std::string Describe() const = 0;
    // The statement that opens a transaction that will write: SQLite takes its write lock at
    // once (a deferred one could fail instead of waiting when it upgrades).
    virtual const char* BeginWrite() const { return "BEGIN"; }
    // The first statement of the transaction that makes or migrates the schema, so that services
    // starting together take turns (null: BeginWrite serialises already). PostgreSQL's
    // CREATE TABLE IF NOT EXISTS is not safe against another doing the same at the same time.
    virtual const char* SchemaLock() const { return nullptr; }
};

// `target`: a postgresql:// (or postgres://) URL, else a SQLite file (created when missing).
std::unique_ptr<Db> OpenDb(const std::string& target, std::string& error);
std::unique_ptr<Db> OpenSqlite(const std::string& file, std::string& error);
std::unique_ptr<Db> OpenPostgres(const std::string& url, std::string& error);

} // namespace zem::line
