#include "server/options.h"

#include <string_view>

namespace server {

const char* const usage_text =
    "usage: tarnwick-server --data DIR [--database URL] [--listen HOST:PORT]\n"
    "                       [--token-lifetime SECONDS] [--trust-proxy[=ADDRESSES]] [--seed]\n"
    "                       [--fast-hash] [--per-address-connections N]\n"
    "                       [--admin HOST:PORT] [--ban EMAIL] [--unban EMAIL]\n"
    "       tarnwick-server --help\n"
    "  --data DIR          where files are kept: files/, news.json and (without --database)\n"
    "                      the SQLite database tarnwick.db\n"
    "  --database URL      keep the database on PostgreSQL instead, for example\n"
    "                      postgresql://tarnwick@127.0.0.1:5432/tarnwick; instances sharing\n"
    "                      the database and the data folder serve as one\n"
    "  --listen HOST:PORT  serve HTTP there (port 0 picks a free one); the first line on\n"
    "                      stdout is the base URL. Without it only --seed/--ban work is done\n"
    "  --token-lifetime S  access tokens expire after S seconds (default 3600)\n"
    "  --trust-proxy[=ADDRESSES]  behind nginx or haproxy: limit sign-ins by the address in\n"
    "                      the X-Real-IP header the proxy sets, taken only from connections\n"
    "                      from ADDRESSES (comma-separated; without a list: this machine,\n"
    "                      127.0.0.1 and ::1). From any other peer the header is ignored\n"
    "  --per-address-connections N  open connections one client address may hold (default\n"
    "                      128; the --trust-proxy addresses have no such cap)\n"
    "  --admin HOST:PORT   serve /metrics (Prometheus text), /healthz and /readyz there, an\n"
    "                      address apart from the public one (port 0 picks a free one)\n"
    "  --seed              put demo accounts, maps and news into a new data folder\n"
    "  --fast-hash         cheapest Argon2id settings: for tests only, never for real accounts\n"
    "  --ban/--unban EMAIL set or clear an account's banned flag (a ban ends its sign-ins)\n"
    "  --help              print this and exit\n";

namespace {

bool parse_int(std::string_view text, int64_t max, int64_t& out) {
    if (text.empty() || text.size() > 12) return false;
    out = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        out = out * 10 + (c - '0');
    }
    return out <= max;
}

bool parse_listen(std::string_view text, std::string& host, int& port) {
    auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    std::string_view h = text.substr(0, colon);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    int64_t p = 0;
    if (h.empty() || !parse_int(text.substr(colon + 1), 65535, p)) return false;
    host = std::string(h);
    port = static_cast<int>(p);
    return true;
}

}  // namespace

std::string parse_options(int argc, const char* const* argv, Options& out) {
    out = Options{};
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        auto value = [&](std::string_view& v) {
            if (i + 1 >= argc) return false;
            v = argv[++i];
            return true;
        };
        std::string_view v;
        if (arg == "--help" || arg == "-h") {
            out.help = true;
            return "";
        } else if (arg == "--trust-proxy") {
            out.trusted_proxies = {"127.0.0.1", "::1"};
        } else if (arg.substr(0, 14) == "--trust-proxy=") {
            out.trusted_proxies.clear();
            std::string_view list = arg.substr(14);
            while (!list.empty()) {
                size_t comma = list.find(',');
                std::string_view one = list.substr(0, comma);
                if (one.empty() || one.size() > 45) return "--trust-proxy= needs addresses";
                out.trusted_proxies.emplace_back(one);
                list = comma == std::string_view::npos ? "" : list.substr(comma + 1);
            }
            if (out.trusted_proxies.empty()) return "--trust-proxy= needs addresses";
        } else if (arg == "--per-address-connections") {
            int64_t n = 0;
            if (!value(v) || !parse_int(v, 1000000, n) || n < 1)
                return "--per-address-connections needs a number from 1 to 1000000";
            out.per_address_connections = static_cast<size_t>(n);
        } else if (arg == "--admin") {
            if (!value(v) || !parse_listen(v, out.admin_host, out.admin_port))
                return "--admin needs HOST:PORT, for example 127.0.0.1:9090";
        } else if (arg == "--seed") {
            out.seed = true;
        } else if (arg == "--fast-hash") {
            out.fast_hash = true;
        } else if (arg == "--data") {
            if (!value(v) || v.empty()) return "--data needs a folder";
            out.data_dir = std::string(v);
        } else if (arg == "--database") {
            if (!value(v) || !is_postgres_url(v))
                return "--database needs a URL postgresql://[USER[:PASSWORD]@]HOST[:PORT]/NAME";
            out.database = std::string(v);
        } else if (arg == "--listen") {
            if (!value(v) || !parse_listen(v, out.host, out.port))
                return "--listen needs HOST:PORT, for example 127.0.0.1:8080";
        } else if (arg == "--token-lifetime") {
            int64_t seconds = 0;
            if (!value(v) || !parse_int(v, 365 * 24 * 3600, seconds) || seconds < 1)
                return "--token-lifetime needs a number of seconds from 1 to 31536000";
            out.token_lifetime = seconds;
        } else if (arg == "--ban" || arg == "--unban") {
            if (!value(v) || v.empty()) return std::string(arg) + " needs an email";
            (arg == "--ban" ? out.ban : out.unban).emplace_back(v);
        } else {
            return "unknown option " + std::string(arg);
        }
    }
    if (out.data_dir.empty()) return "--data is required";
    if (out.port < 0 && !out.seed && out.ban.empty() && out.unban.empty())
        return "nothing to do: give --listen, --seed or --ban";
    return "";
}

}  // namespace server
