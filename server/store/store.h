// Where the server keeps its state: accounts, sign-ins and tokens, the map catalogue and the
// sign-in limiter's counts. One small interface over two engines: SQLite (a file in the data
// folder, nothing to set up) and PostgreSQL through libpq, which several server instances can
// share. Handlers lease a connection, run statements through `Query` and group them in `Tx`.
//
// Depends on connection.h (the engines). SQL is written once with ? placeholders in the subset
// both engines understand; the few statements that must differ pass a PostgreSQL text as well.
// Limits: at most `pool_limit` connections per store (SQLite's are cheap; PostgreSQL's are
// shared by every instance, which its max_connections caps); a lease waits for a free one.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace server {

enum class Engine { sqlite, postgresql };

class Connection;
struct Param;
struct Result;

constexpr size_t pool_limit(Engine engine) { return engine == Engine::sqlite ? 64 : 32; }

// A request waiting for a connection. Connections are handed to waiters first come, first
// served: a condition variable alone lets a newly arrived request take a freed connection before
// the one woken for it, over and over, and under load a few requests then wait for seconds.
struct Lease_Waiter {
    std::condition_variable ready;
    std::unique_ptr<Connection> given;  // the connection handed over
    bool may_open = false;              // or the right to open one (a slot that was freed)
    bool done = false;
};

struct Store {
    Engine engine = Engine::sqlite;
    std::string target;  // the SQLite file or the PostgreSQL URL
    std::mutex lock;
    std::deque<Lease_Waiter*> waiters;  // oldest first
    std::vector<std::unique_ptr<Connection>> idle;
    size_t open = 0;  // connections that exist, idle or leased

    Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    ~Store();
};

// True for "postgresql://..." and "postgres://..." (libpq's URL forms).
bool is_postgres_url(std::string_view target);

// Opens the store at `target` (a PostgreSQL URL, or else the path of a SQLite file) and brings
// its schema up to date. `created` is true when the database had no schema before. Returns an
// error text, empty on success.
std::string store_open(Store& store, const std::string& target, bool& created);

// One connection taken from the pool for as long as the lease lives. `ok` is false when no
// connection could be made; every query on such a lease fails.
class Lease {
public:
    explicit Lease(Store& store);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    bool ok() const { return connection_ != nullptr; }
    Engine engine() const { return store_.engine; }
    Connection* connection() { return connection_.get(); }

private:
    Store& store_;
    std::unique_ptr<Connection> connection_;
};

// One statement. Parameters are bound in order with `bind`; the statement runs at the first
// `row` or `done`. `row` reports whether another row is available; `done` runs a statement whose
// rows are not wanted. Any failure sets `failed` (and `unique` for a broken UNIQUE key, `retry`
// when the engine asks to run the transaction again), which later calls keep.
class Query {
public:
    Query(Lease& lease, const char* sql, const char* postgres_sql = nullptr);
    ~Query();
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    Query& bind(int64_t value);
    Query& bind(std::string_view value);
    bool row();
    bool done();
    int64_t integer(int column) const;
    const std::string& text(int column) const;

    bool failed = false;
    bool unique = false;
    bool retry = false;

private:
    bool run();
    Lease& lease_;
    const char* sql_;
    std::vector<Param> params_;
    std::unique_ptr<Result> result_;
    size_t next_ = 0;
    bool ran_ = false;
};

// A transaction that rolls back unless committed. On SQLite it takes the write lock at once, so
// transactions never interleave; on PostgreSQL statements that must see each other's writes
// lock the rows they depend on (SELECT ... FOR UPDATE).
class Tx {
public:
    explicit Tx(Lease& lease);
    ~Tx();
    Tx(const Tx&) = delete;
    Tx& operator=(const Tx&) = delete;
    bool open() const { return open_; }
    bool commit();

private:
    Lease& lease_;
    bool open_ = false;
};

}  // namespace server
