#include "server/db.h"

#include <sqlite3.h>

namespace server {

namespace {

// Version 1 of the schema. Emails and map names also keep an ASCII-lower-cased key so that
// comparisons ignore case while the text shows as it was typed.
const char* const schema = R"sql(
CREATE TABLE accounts (
  id INTEGER PRIMARY KEY,
  email TEXT NOT NULL,
  email_key TEXT NOT NULL UNIQUE,
  name TEXT NOT NULL,
  password_hash TEXT NOT NULL,
  banned INTEGER NOT NULL DEFAULT 0,
  created_at INTEGER NOT NULL);
-- One sign-in is one token family: every refresh token it has issued and their access tokens.
CREATE TABLE sign_ins (
  id INTEGER PRIMARY KEY,
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  created_at INTEGER NOT NULL,
  revoked INTEGER NOT NULL DEFAULT 0);
CREATE TABLE refresh_tokens (
  hash TEXT PRIMARY KEY,
  sign_in_id INTEGER NOT NULL REFERENCES sign_ins(id),
  expires_at INTEGER NOT NULL,
  used INTEGER NOT NULL DEFAULT 0);
CREATE INDEX refresh_tokens_sign_in ON refresh_tokens(sign_in_id);
CREATE TABLE access_tokens (
  hash TEXT PRIMARY KEY,
  sign_in_id INTEGER NOT NULL REFERENCES sign_ins(id),
  expires_at INTEGER NOT NULL);
CREATE INDEX access_tokens_sign_in ON access_tokens(sign_in_id);
CREATE TABLE maps (
  id INTEGER PRIMARY KEY,
  author_id INTEGER NOT NULL REFERENCES accounts(id),
  name TEXT NOT NULL,
  name_key TEXT NOT NULL,
  description TEXT NOT NULL DEFAULT '',
  file_sha256 TEXT NOT NULL,
  size_bytes INTEGER NOT NULL,
  has_thumb INTEGER NOT NULL DEFAULT 0,
  downloads INTEGER NOT NULL DEFAULT 0,
  likes INTEGER NOT NULL DEFAULT 0,
  version INTEGER NOT NULL DEFAULT 1,
  created_at INTEGER NOT NULL,
  updated_at INTEGER NOT NULL,
  UNIQUE(author_id, name_key));
PRAGMA user_version = 1;
)sql";

}  // namespace

Db::~Db() {
    if (handle) sqlite3_close(handle);
}

std::string db_open(Db& db, const std::string& path, bool& created) {
    created = false;
    if (sqlite3_open_v2(path.c_str(), &db.handle,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        std::string error = db.handle ? sqlite3_errmsg(db.handle) : "out of memory";
        if (db.handle) sqlite3_close(db.handle);
        db.handle = nullptr;
        return "can't open " + path + ": " + error;
    }
    sqlite3_busy_timeout(db.handle, 5000);
    if (!db_exec(db, "PRAGMA journal_mode = WAL") || !db_exec(db, "PRAGMA foreign_keys = ON"))
        return std::string("can't set up the database: ") + sqlite3_errmsg(db.handle);

    int64_t version = 0;
    {
        Stmt v(db, "PRAGMA user_version");
        if (v.row()) version = v.integer(0);
        if (v.failed) return std::string("can't read the database: ") + sqlite3_errmsg(db.handle);
    }
    if (version == 1) return "";
    if (version != 0) return "the database in " + path + " is of an unknown newer version";

    Tx tx(db);
    if (!tx.open || sqlite3_exec(db.handle, schema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        return std::string("can't create the database: ") + sqlite3_errmsg(db.handle);
    }
    if (!tx.commit()) return std::string("can't create the database: ") + sqlite3_errmsg(db.handle);
    created = true;
    return "";
}

bool db_exec(Db& db, const char* sql) {
    return sqlite3_exec(db.handle, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

Stmt::Stmt(Db& d, const char* sql) : db(d.handle) {
    if (sqlite3_prepare_v2(db, sql, -1, &handle, nullptr) != SQLITE_OK) failed = true;
}

Stmt::~Stmt() {
    if (handle) sqlite3_finalize(handle);
}

Stmt& Stmt::bind(int64_t value) {
    if (!failed && sqlite3_bind_int64(handle, next, value) != SQLITE_OK) failed = true;
    ++next;
    return *this;
}

Stmt& Stmt::bind(std::string_view value) {
    if (!failed && sqlite3_bind_text64(handle, next, value.data(), value.size(), SQLITE_TRANSIENT,
                                       SQLITE_UTF8) != SQLITE_OK)
        failed = true;
    ++next;
    return *this;
}

bool Stmt::row() {
    if (failed) return false;
    int rc = sqlite3_step(handle);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) failed = true;
    return false;
}

bool Stmt::done() {
    if (failed) return false;
    int rc = sqlite3_step(handle);
    if (rc == SQLITE_DONE) return true;
    failed = true;
    return false;
}

int64_t Stmt::integer(int column) { return sqlite3_column_int64(handle, column); }

std::string Stmt::text(int column) {
    auto p = reinterpret_cast<const char*>(sqlite3_column_text(handle, column));
    if (!p) return {};
    return std::string(p, static_cast<size_t>(sqlite3_column_bytes(handle, column)));
}

int64_t last_insert_id(Db& db) { return sqlite3_last_insert_rowid(db.handle); }

bool unique_violation(Db& db) {
    return sqlite3_extended_errcode(db.handle) == SQLITE_CONSTRAINT_UNIQUE ||
           sqlite3_extended_errcode(db.handle) == SQLITE_CONSTRAINT_PRIMARYKEY;
}

}  // namespace server
