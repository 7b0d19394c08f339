#include "server/static_files.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>

namespace server {

namespace {

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The canonical path of `path`, or empty when it does not exist.
std::string resolve(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return {};
    std::string out(real);
    std::free(real);
    return out;
}

bool regular_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

const char* const account_html = R"html(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Your Tarnwick account</title>
<style>
  body { background: #0b0d10; color: #e8e6e1; font: 16px/1.5 system-ui, sans-serif; margin: 0; }
  main { max-width: 640px; margin: 48px auto; padding: 0 24px; }
  h1, h2 { font-weight: 600; letter-spacing: 0.02em; }
  h2 { color: #f0b429; margin-top: 40px; }
  code { background: #161a22; padding: 1px 6px; border-radius: 3px; }
  section { border-top: 1px solid #262b33; }
</style>
</head>
<body>
<main>
<h1>Your Tarnwick account</h1>
<p>You sign in to Tarnwick with your email address and password in the launcher. The launcher
keeps you signed in between sessions; signing out from its Account tab ends that sign-in on
this computer.</p>
<p>Your player name is what others see in games and beside the maps you share. You can change
it from the launcher's Account tab: 3 to 32 letters, digits and spaces.</p>

<section id="forgot">
<h2>Forgot your password?</h2>
<p>This is the development backend, which sends no email, so it cannot reset a password by
itself. Ask whoever runs this server to help:</p>
<ul>
<li>They can create a fresh account for you, or you can create one yourself from the
launcher's sign-in screen with another email address.</li>
<li>The demo data folder comes with a ready account whose email and password the server prints
when it starts with <code>--seed</code>.</li>
<li>Passwords are stored only as Argon2id hashes, so nobody can look yours up: a forgotten
password can only be replaced, never recovered.</li>
</ul>
</section>
</main>
</body>
</html>
)html";

}  // namespace

bool static_path_ok(std::string_view relative) {
    if (relative.empty()) return false;
    for (unsigned char c : relative)
        if (c < 0x20 || c == 0x7f || c == '\\') return false;
    size_t start = 0;
    while (true) {
        size_t slash = relative.find('/', start);
        std::string_view segment = relative.substr(start, slash - start);
        if (segment.empty() || segment == "." || segment == "..") return false;
        if (slash == std::string_view::npos) return true;
        start = slash + 1;
    }
}

std::string content_type_for(std::string_view name) {
    if (ends_with(name, ".json")) return "application/json";
    if (ends_with(name, ".png")) return "image/png";
    if (ends_with(name, ".html")) return "text/html; charset=utf-8";
    if (ends_with(name, ".txt")) return "text/plain; charset=utf-8";
    return "application/octet-stream";
}

Reply static_file(Server& server, std::string_view relative) {
    if (!static_path_ok(relative)) return error_reply(404, "not_found");
    std::string real = resolve(server.files_dir + "/" + std::string(relative));
    // The resolved path must still be inside the tree: a symlink may point anywhere.
    if (real.empty() || real.compare(0, server.files_dir.size() + 1, server.files_dir + "/") != 0 ||
        !regular_file(real))
        return error_reply(404, "not_found");
    Reply r;
    r.content_type = content_type_for(real);
    r.file = real;
    return r;
}

static bool language_code(std::string_view s) {
    auto lower = [](char c) { return c >= 'a' && c <= 'z'; };
    auto upper = [](char c) { return c >= 'A' && c <= 'Z'; };
    size_t n = 0;
    while (n < s.size() && lower(s[n])) ++n;
    if (n < 2 || n > 3) return false;
    if (n == s.size()) return true;
    return s.size() == n + 3 && s[n] == '_' && upper(s[n + 1]) && upper(s[n + 2]);
}

Reply news_file(Server& server, std::string_view language) {
    std::string path = server.news_path;
    if (!language.empty()) {
        if (!language_code(language)) return error_reply(404, "not_found");
        path = path.substr(0, path.size() - 4) + std::string(language) + ".json";   // news.<language>.json
    }
    if (!regular_file(path)) return error_reply(404, "not_found");
    Reply r;
    r.file = path;
    return r;
}

Reply account_page() {
    Reply r;
    r.content_type = "text/html; charset=utf-8";
    r.body = account_html;
    return r;
}

}  // namespace server
