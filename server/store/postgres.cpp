// The PostgreSQL engine, through libpq. Statements are prepared once per connection (named
// s0, s1, ...) and run with text parameters; ? placeholders become $1, $2, ... here.
#include <libpq-fe.h>

#include <unordered_map>

#include "server/store/connection.h"

namespace server {

namespace {

// "? ?" -> "$1 $2", "?3" -> "$3"; question marks inside quoted text stay.
std::string numbered(std::string_view sql) {
    std::string out;
    out.reserve(sql.size() + 8);
    int next = 1;
    bool quoted = false;
    for (size_t i = 0; i < sql.size(); ++i) {
        char c = sql[i];
        if (c == '\'') quoted = !quoted;
        if (c != '?' || quoted) {
            out += c;
            continue;
        }
        out += '$';
        if (i + 1 < sql.size() && sql[i + 1] >= '0' && sql[i + 1] <= '9') continue;
        out += std::to_string(next++);
    }
    return out;
}

class Postgres final : public Connection {
public:
    PGconn* conn = nullptr;
    std::unordered_map<std::string, std::string> prepared;  // SQL -> statement name

    ~Postgres() override {
        if (conn) PQfinish(conn);
    }

    bool exec(const char* sql) {
        PGresult* r = PQexec(conn, sql);
        bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
        PQclear(r);
        return ok;
    }

    static Outcome failure(PGresult* r) {
        const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
        std::string_view s = state ? state : "";
        if (s == "23505") return Outcome::unique_violation;
        if (s == "40001" || s == "40P01") return Outcome::retry;
        return Outcome::failed;
    }

    Outcome run(std::string_view sql, const std::vector<Param>& params, Result& out) override {
        std::string key(sql);
        auto found = prepared.find(key);
        if (found == prepared.end()) {
            std::string name = "s" + std::to_string(prepared.size());
            PGresult* r = PQprepare(conn, name.c_str(), numbered(sql).c_str(), 0, nullptr);
            Outcome o = PQresultStatus(r) == PGRES_COMMAND_OK ? Outcome::ok : failure(r);
            PQclear(r);
            if (o != Outcome::ok) return o;
            found = prepared.emplace(key, name).first;
        }
        std::vector<const char*> values;
        values.reserve(params.size());
        for (const Param& p : params) values.push_back(p.text.c_str());
        PGresult* r = PQexecPrepared(conn, found->second.c_str(), static_cast<int>(values.size()),
                                     values.data(), nullptr, nullptr, 0);
        ExecStatusType status = PQresultStatus(r);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            Outcome o = failure(r);
            PQclear(r);
            return o;
        }
        out.columns = PQnfields(r);
        out.cells.clear();
        int rows = PQntuples(r);
        out.cells.reserve(static_cast<size_t>(rows) * static_cast<size_t>(out.columns));
        for (int row = 0; row < rows; ++row)
            for (int c = 0; c < out.columns; ++c)
                out.cells.emplace_back(PQgetvalue(r, row, c),
                                       static_cast<size_t>(PQgetlength(r, row, c)));
        PQclear(r);
        return Outcome::ok;
    }

    bool script(const char* sql) override { return exec(sql); }
    bool begin() override { return exec("BEGIN"); }
    bool commit() override { return exec("COMMIT"); }
    void rollback() override { exec("ROLLBACK"); }
    bool usable() override {
        return PQstatus(conn) == CONNECTION_OK && PQtransactionStatus(conn) == PQTRANS_IDLE;
    }
    std::string last_error() override { return PQerrorMessage(conn); }
};

void quiet(void*, const char*) {}

}  // namespace

std::unique_ptr<Connection> open_postgres(const std::string& url, std::string& error) {
    auto c = std::make_unique<Postgres>();
    c->conn = PQconnectdb(url.c_str());
    if (!c->conn || PQstatus(c->conn) != CONNECTION_OK) {
        error = "can't connect to PostgreSQL: ";
        error += c->conn ? PQerrorMessage(c->conn) : "out of memory";
        while (!error.empty() && error.back() == '\n') error.pop_back();
        return nullptr;
    }
    // Notices ("relation already exists, skipping") are not errors and stay out of the log.
    PQsetNoticeProcessor(c->conn, quiet, nullptr);
    // Every statement here touches a few rows by key. The JIT compiler, which PostgreSQL starts
    // for any plan it estimates as costly, spent 0.4 s of a core compiling the minute's prune
    // and gains nothing on such statements.
    if (!c->exec("SET jit = off")) {
        error = "can't set up the PostgreSQL session: " + std::string(PQerrorMessage(c->conn));
        return nullptr;
    }
    return c;
}

}  // namespace server
