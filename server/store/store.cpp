#include "server/store/store.h"

#include <charconv>

#include "server/store/connection.h"

namespace server {

namespace {

std::unique_ptr<Connection> connect(Store& store, std::string& error) {
    if (store.engine == Engine::postgresql) return open_postgres(store.target, error);
    return open_sqlite(store.target, error);
}

const std::string empty_text;

}  // namespace

Store::Store() = default;
Store::~Store() = default;

bool is_postgres_url(std::string_view target) {
    return target.substr(0, 13) == "postgresql://" || target.substr(0, 11) == "postgres://";
}

std::string store_open(Store& store, const std::string& target, bool& created) {
    store.engine = is_postgres_url(target) ? Engine::postgresql : Engine::sqlite;
    store.target = target;
    std::string error;
    auto first = connect(store, error);
    if (!first) return error;
    error = migrate(*first, store.engine, created);
    if (!error.empty()) return error;
    std::lock_guard guard(store.lock);
    store.idle.push_back(std::move(first));
    store.open = 1;
    return "";
}

namespace {

// Hands a freed connection (or, when it was dropped, its slot) to the oldest waiter. Under the
// store's lock. False when nobody waits.
bool hand_over(Store& store, std::unique_ptr<Connection>& connection) {
    if (store.waiters.empty()) return false;
    Lease_Waiter* w = store.waiters.front();
    store.waiters.pop_front();
    if (connection) w->given = std::move(connection);
    else w->may_open = true;
    w->done = true;
    w->ready.notify_one();
    return true;
}

}  // namespace

Lease::Lease(Store& store) : store_(store) {
    std::unique_lock guard(store.lock);
    if (store.waiters.empty() && !store.idle.empty()) {
        connection_ = std::move(store.idle.back());
        store.idle.pop_back();
        return;
    }
    if (store.waiters.empty() && store.open < pool_limit(store.engine)) {
        ++store.open;
    } else {
        Lease_Waiter me;
        store.waiters.push_back(&me);
        me.ready.wait(guard, [&] { return me.done; });
        if (me.given) {
            connection_ = std::move(me.given);
            return;
        }
        // A slot whose connection was dropped: `open` still counts it, now for this lease.
    }
    guard.unlock();
    std::string error;
    connection_ = connect(store, error);
    if (!connection_) {
        guard.lock();
        std::unique_ptr<Connection> none;
        if (!hand_over(store, none)) --store.open;
    }
}

Lease::~Lease() {
    if (!connection_) return;
    bool keep = connection_->usable();
    if (!keep) connection_.reset();
    std::lock_guard guard(store_.lock);
    if (hand_over(store_, connection_)) return;
    if (keep) store_.idle.push_back(std::move(connection_));
    else --store_.open;
}

Query::Query(Lease& lease, const char* sql, const char* postgres_sql)
    : lease_(lease),
      sql_(lease.engine() == Engine::postgresql && postgres_sql ? postgres_sql : sql) {}

Query::~Query() = default;

Query& Query::bind(int64_t value) {
    Param p;
    p.integer = true;
    p.number = value;
    p.text = std::to_string(value);
    params_.push_back(std::move(p));
    return *this;
}

Query& Query::bind(std::string_view value) {
    Param p;
    p.text = std::string(value);
    params_.push_back(std::move(p));
    return *this;
}

bool Query::run() {
    if (ran_) return !failed;
    ran_ = true;
    result_ = std::make_unique<Result>();
    if (failed || !lease_.ok()) {
        failed = true;
        return false;
    }
    Outcome outcome = lease_.connection()->run(sql_, params_, *result_);
    if (outcome == Outcome::ok) return true;
    failed = true;
    unique = outcome == Outcome::unique_violation;
    retry = outcome == Outcome::retry;
    return false;
}

bool Query::row() {
    if (!run()) return false;
    if (next_ >= result_->rows()) return false;
    ++next_;
    return true;
}

bool Query::done() { return run(); }

int64_t Query::integer(int column) const {
    const std::string& t = text(column);
    int64_t value = 0;
    std::from_chars(t.data(), t.data() + t.size(), value);
    return value;
}

const std::string& Query::text(int column) const {
    if (!result_ || next_ == 0 || column < 0 || column >= result_->columns) return empty_text;
    return result_->cells[(next_ - 1) * static_cast<size_t>(result_->columns) +
                          static_cast<size_t>(column)];
}

Tx::Tx(Lease& lease) : lease_(lease) { open_ = lease.ok() && lease.connection()->begin(); }

Tx::~Tx() {
    if (open_) lease_.connection()->rollback();
}

bool Tx::commit() {
    if (!open_) return false;
    open_ = false;
    if (lease_.connection()->commit()) return true;
    lease_.connection()->rollback();
    return false;
}

}  // namespace server
