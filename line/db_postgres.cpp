#include "Db.h"

#include <libpq-fe.h>

namespace zem::line {

namespace {

class PostgresDb : public Db {
public:
    using Db::Exec;
    PostgresDb(PGconn* conn, std::string url) : conn_(conn), url_(std::move(url)) {}
    ~PostgresDb() override { PQfinish(conn_); }

    bool Exec(const std::string& sql, const std::vector<Value>& params, std::vector<Row>* rows,
              int64_t* changed, std::string& error) override {
        // A database restarted under a running service: a new connection before the statement.
        // A statement that failed on the old one is not repeated here (its transaction is gone
        // with the connection); the caller's whole transaction is sent again.
        if (PQstatus(conn_) == CONNECTION_BAD) PQreset(conn_);
        if (PQstatus(conn_) == CONNECTION_BAD) {
            error = "PostgreSQL " + Where() + ": " + Trim(PQerrorMessage(conn_));
            return false;
        }
        std::vector<const char*> values;
        values.reserve(params.size());
        for (const auto& v : params)
            values.push_back(v ? v->c_str() : nullptr);
        PGresult* res =
            params.empty() && !rows
                ? PQexec(conn_, sql.c_str()) // several statements in one text (the schema)
                : PQexecParams(conn_, sql.c_str(), static_cast<int>(params.size()), nullptr,
                               values.data(), nullptr, nullptr, 0);
        ExecStatusType st = PQresultStatus(res);
        if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
            error = "PostgreSQL " + Where() + ": " + Trim(PQresultErrorMessage(res));
            if (error.size() <= Where().size() + 13) error += Trim(PQerrorMessage(conn_));
            PQclear(res);
            return false;
        }
        if (rows) {
            int n = PQntuples(res), cols = PQnfields(res);
            for (int r = 0; r < n; ++r) {
                Row row;
                for (int c = 0; c < cols; ++c) {
                    if (PQgetisnull(res, r, c))
                        row.emplace_back();
                    else
                        row.emplace_back(std::string(PQgetvalue(res, r, c),
                                                     static_cast<size_t>(PQgetlength(res, r, c))));
                }
                rows->push_back(std::move(row));
            }
        }
        if (changed) {
            const char* t = PQcmdTuples(res);
            *changed = (t && *t) ? std::stoll(t) : 0;
        }
        PQclear(res);
        return true;
    }

    std::string Describe() const override { return "PostgreSQL " + Where(); }
    // Held to the transaction's end; the key is this schema's, whatever else shares the database.
    const char* SchemaLock() const override { return "SELECT pg_advisory_xact_lock(7465102907)"; }

private:
    std::string Where() const {
        return std::string(PQhost(conn_) ? PQhost(conn_) : "") + ":" +
               (PQport(conn_) ? PQport(conn_) : "") + "/" + (PQdb(conn_) ? PQdb(conn_) : "");
    }
    static std::string Trim(std::string s) {
        while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
            s.pop_back();
        return s;
    }
    PGconn* conn_;
    std::string url_;
};

} // namespace

std::unique_ptr<Db> OpenPostgres(const std::string& url, std::string& error) {
    PGconn* conn = PQconnectdb(url.c_str());
    if (!conn) {
        error = "can not connect to PostgreSQL: out of memory";
        return nullptr;
    }
    if (PQstatus(conn) != CONNECTION_OK) {
        std::string msg = PQerrorMessage(conn);
        while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' '))
            msg.pop_back();
        error = "can not connect to PostgreSQL: " + msg;
        PQfinish(conn);
        return nullptr;
    }
    auto db = std::make_unique<PostgresDb>(conn, url);
    // Results carry their own UTC times; messages must not be translated out of a test's reach.
    if (!db->Exec("SET client_min_messages TO warning", {}, error)) return nullptr;
    return db;
}

} // namespace zem::line
