// tarnwick-server: the development backend. See options.cpp for the command line.
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "server/accounts.h"
#include "server/http.h"
#include "server/options.h"
#include "server/seed.h"
#include "server/server.h"

int main(int argc, char** argv) {
    server::Options options;
    std::string error = server::parse_options(argc, argv, options);
    if (!error.empty()) {
        std::fprintf(stderr, "tarnwick-server: %s\n%s", error.c_str(), server::usage_text);
        return 2;
    }
    if (options.help) {
        std::fputs(server::usage_text, stdout);
        return 0;
    }

    // SIGINT and SIGTERM are taken by sigwait below, so they must be blocked before any
    // thread starts and inherits the mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    server::Server srv;
    error = server::server_open(srv, options);
    if (!error.empty()) {
        std::fprintf(stderr, "tarnwick-server: %s\n", error.c_str());
        return 1;
    }

    std::vector<std::string> lines;
    if (options.seed) {
        if (srv.created) {
            error = server::seed_demo(srv, lines);
            if (!error.empty()) {
                std::fprintf(stderr, "tarnwick-server: %s\n", error.c_str());
                return 1;
            }
        } else {
            srv.log("seed: the database already existed, nothing added");
        }
    }
    for (const auto& email : options.ban)
        if (!server::account_ban(srv, email, true)) srv.log("ban: no account has that email");
    for (const auto& email : options.unban)
        if (!server::account_ban(srv, email, false)) srv.log("unban: no account has that email");

    if (options.port < 0) {
        for (const auto& line : lines) std::printf("%s\n", line.c_str());
        return 0;
    }

    server::Http http;
    error = server::http_start(srv, http, options.host, options.port);
    if (!error.empty()) {
        std::fprintf(stderr, "tarnwick-server: %s\n", error.c_str());
        return 1;
    }
    // Scripts read the first line to learn where the server is.
    std::printf("%s\n", server::base_url(options.host, http.port).c_str());
    for (const auto& line : lines) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    if (http.admin_port > 0)
        srv.log("admin: " + server::base_url(options.admin_host, http.admin_port) + "/metrics");

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    server::http_stop(http);
    return 0;
}
