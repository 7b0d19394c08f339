// One open connection to a storage engine, as the store's pool holds it. Only server/store/
// sees this: everything else works through store.h.
//
// Depends on nothing but the standard library; sqlite.cpp and postgres.cpp implement it.
// Parameters and results travel as text (integers are written and parsed as decimal), which is
// what both engines accept for every column type the schema uses.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/store/store.h"

namespace server {

struct Param {
    std::string text;
    bool integer = false;
    int64_t number = 0;
};

// The rows of one statement, row by row, column by column.
struct Result {
    int columns = 0;
    std::vector<std::string> cells;
    size_t rows() const { return columns ? cells.size() / static_cast<size_t>(columns) : 0; }
};

enum class Outcome { ok, unique_violation, retry, failed };

class Connection {
public:
    virtual ~Connection() = default;
    // Runs one statement. `sql` uses ? (or ?N) placeholders; engines rewrite them as needed.
    virtual Outcome run(std::string_view sql, const std::vector<Param>& params, Result& out) = 0;
    // Runs several statements without parameters (schema changes). False on failure.
    virtual bool script(const char* sql) = 0;
    virtual bool begin() = 0;
    virtual bool commit() = 0;
    virtual void rollback() = 0;
    // False once the connection is lost; the pool then drops it instead of reusing it.
    virtual bool usable() = 0;
    virtual std::string last_error() = 0;
};

// Opens a connection. Returns null with `error` set when it cannot be made.
std::unique_ptr<Connection> open_sqlite(const std::string& path, std::string& error);
std::unique_ptr<Connection> open_postgres(const std::string& url, std::string& error);

// Brings a fresh connection's database to the newest schema. `created` is true when it had
// none. Returns an error text, empty on success.
std::string migrate(Connection& connection, Engine engine, bool& created);

}  // namespace server
