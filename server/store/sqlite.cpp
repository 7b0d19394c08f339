// The SQLite engine: one database file in WAL mode, so readers on other connections never
// wait for a writer; writers queue on SQLite's own lock (BEGIN IMMEDIATE, five-second wait).
#include <sqlite3.h>

#include <unordered_map>

#include "server/store/connection.h"

namespace server {

namespace {

class Sqlite final : public Connection {
public:
    sqlite3* db = nullptr;
    // Prepared once per connection and reused: parsing costs more than most of our queries.
    std::unordered_map<std::string, sqlite3_stmt*> prepared;

    ~Sqlite() override {
        for (auto& [sql, stmt] : prepared) sqlite3_finalize(stmt);
        if (db) sqlite3_close(db);
    }

    bool exec(const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

    Outcome run(std::string_view sql, const std::vector<Param>& params, Result& out) override {
        std::string key(sql);
        sqlite3_stmt*& stmt = prepared[key];
        if (!stmt && sqlite3_prepare_v3(db, key.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt,
                                        nullptr) != SQLITE_OK) {
            prepared.erase(key);
            return Outcome::failed;
        }
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        int i = 1;
        for (const Param& p : params) {
            int rc = p.integer ? sqlite3_bind_int64(stmt, i, p.number)
                               : sqlite3_bind_text64(stmt, i, p.text.data(), p.text.size(),
                                                     SQLITE_STATIC, SQLITE_UTF8);
            if (rc != SQLITE_OK) return Outcome::failed;
            ++i;
        }
        out.columns = sqlite3_column_count(stmt);
        out.cells.clear();
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            for (int c = 0; c < out.columns; ++c) {
                auto text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
                out.cells.emplace_back(text ? text : "",
                                       text ? static_cast<size_t>(sqlite3_column_bytes(stmt, c)) : 0);
            }
        }
        sqlite3_reset(stmt);
        if (rc == SQLITE_DONE) return Outcome::ok;
        int extended = sqlite3_extended_errcode(db);
        if (extended == SQLITE_CONSTRAINT_UNIQUE || extended == SQLITE_CONSTRAINT_PRIMARYKEY)
            return Outcome::unique_violation;
        if (rc == SQLITE_BUSY) return Outcome::retry;
        return Outcome::failed;
    }

    bool script(const char* sql) override { return exec(sql); }
    bool begin() override { return exec("BEGIN IMMEDIATE"); }
    bool commit() override { return exec("COMMIT"); }
    void rollback() override { exec("ROLLBACK"); }
    bool usable() override { return sqlite3_get_autocommit(db) != 0; }
    std::string last_error() override { return sqlite3_errmsg(db); }
};

}  // namespace

std::unique_ptr<Connection> open_sqlite(const std::string& path, std::string& error) {
    auto c = std::make_unique<Sqlite>();
    if (sqlite3_open_v2(path.c_str(), &c->db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        error = "can't open " + path + ": " + (c->db ? sqlite3_errmsg(c->db) : "out of memory");
        return nullptr;
    }
    sqlite3_busy_timeout(c->db, 5000);
    if (!c->exec("PRAGMA journal_mode = WAL") || !c->exec("PRAGMA foreign_keys = ON")) {
        error = "can't set up the database " + path + ": " + sqlite3_errmsg(c->db);
        return nullptr;
    }
    return c;
}

}  // namespace server
