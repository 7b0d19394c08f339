// The server's SQLite database: one connection shared by every request thread, guarded by one
// lock, plus a small prepared-statement helper.
//
// Depends on SQLite 3. Limits: every query runs under `Db::lock`, so database work is serial;
// that is plenty for a development backend and makes multi-statement changes (token rotation)
// trivially atomic with respect to other requests. Callers hold the lock while using `Stmt`.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace server {

struct Db {
    sqlite3* handle = nullptr;
    std::mutex lock;

    Db() = default;
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;
    ~Db();
};

// Opens (creating if needed) the database at `path` and brings its schema up to date.
// `created` is true when the database had no schema before, i.e. this is a new data folder.
// Returns an error text, empty on success.
std::string db_open(Db& db, const std::string& path, bool& created);

// Runs SQL without parameters or results (BEGIN, COMMIT, schema). False on failure.
bool db_exec(Db& db, const char* sql);

// One prepared statement. Parameters are bound in order with `bind`; `row` steps and reports
// whether a row is available; `done` steps a statement that returns no rows. Any SQLite error
// sets `failed`, which later calls keep.
struct Stmt {
    sqlite3_stmt* handle = nullptr;
    sqlite3* db = nullptr;
    int next = 1;
    bool failed = false;

    Stmt(Db& db, const char* sql);
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    ~Stmt();

    Stmt& bind(int64_t value);
    Stmt& bind(std::string_view value);
    bool row();
    bool done();
    int64_t integer(int column);
    std::string text(int column);
};

int64_t last_insert_id(Db& db);
// True when the last failed statement broke a UNIQUE constraint.
bool unique_violation(Db& db);

// A transaction that rolls back unless committed. Hold `Db::lock` around it.
struct Tx {
    Db& db;
    bool open = false;
    explicit Tx(Db& d) : db(d) { open = db_exec(db, "BEGIN IMMEDIATE"); }
    bool commit() {
        if (!open) return false;
        open = false;
        return db_exec(db, "COMMIT");
    }
    ~Tx() {
        if (open) db_exec(db, "ROLLBACK");
    }
};

}  // namespace server
