#include "launcher/options.h"

#include <cmath>
#include <cstdlib>
#include <string_view>

namespace launcher {

namespace {

enum class Kind { String, Float, Bool };

struct Flag {
    const char* name;
    Kind kind;
    const char* usage;
};

const Flag flags[] = {
    {"backend", Kind::String, "backend URL (default: built in)"},
#ifdef _WIN32
    {"dir", Kind::String, "install folder (default: next to the launcher if the game is there, else %LOCALAPPDATA%\\Tarnwick)"},
#else
    {"dir", Kind::String, "install folder (default: next to the launcher if the game is there, else ~/Games/Tarnwick)"},
#endif
    {"channel", Kind::String, "release channel (default stable)"},
    {"screenshot", Kind::String, "save a screenshot under this name and quit (testing)"},
    {"seconds", Kind::Float, "when to take it (default 4)"},
    {"tab", Kind::String, "open on play, maps or account (testing)"},
    {"no-install", Kind::Bool, "don't copy the launcher into the install folder"},
};

// Accepted like the flags above, but left out of the usage text, which lists the launcher's
// original flags exactly.
const Flag extra_flags[] = {
    {"scale", Kind::Float, "display scale, 1 to 4 (default: the display's)"},
    {"lang", Kind::String, "language: a catalogue's code, en, or pseudo (default: the player's choice, else the system's)"},
};

double* float_field(Options& opt, std::string_view name) {
    return name == "scale" ? &opt.scale : &opt.seconds;
}

std::string* string_field(Options& opt, std::string_view name) {
    if (name == "backend") return &opt.backend;
    if (name == "dir") return &opt.dir;
    if (name == "channel") return &opt.channel;
    if (name == "screenshot") return &opt.screenshot;
    if (name == "tab") return &opt.tab;
    if (name == "lang") return &opt.lang;
    return nullptr;
}

bool parse_bool(std::string_view s, bool& out) {
    for (const char* w : {"1", "t", "T", "true", "TRUE", "True"})
        if (s == w) return out = true, true;
    for (const char* w : {"0", "f", "F", "false", "FALSE", "False"})
        if (s == w) return out = false, true;
    return false;
}

// A plain decimal number: digits with an optional sign, point and exponent. No hex, inf or nan.
bool parse_decimal(const std::string& s, double& out) {
    if (s.empty()) return false;
    for (char c : s)
        if (!(c >= '0' && c <= '9') && c != '.' && c != '-' && c != '+' && c != 'e' && c != 'E') return false;
    char* end = nullptr;
    out = strtod(s.c_str(), &end);
    return end == s.c_str() + s.size() && std::isfinite(out);
}

const char* value_type(Kind k) {
    return k == Kind::String ? "<string>" : k == Kind::Float ? "<float>" : "";
}

}  // namespace

Parse_Result parse_options(const std::vector<std::string>& args, Options& opt, std::string& error) {
    for (const std::string& arg : args) {
        if (arg.empty() || arg[0] != '-') {
            error = "unexpected argument '" + arg + "': the launcher takes only flags";
            return Parse_Result::Error;
        }
        std::string_view body = std::string_view(arg).substr(1);
        if (body.empty()) {
            error = "a lone '-' is not a flag";
            return Parse_Result::Error;
        }
        size_t sep = body.find_first_of(":=");
        std::string_view name = body.substr(0, sep);
        bool has_value = sep != std::string_view::npos;
        std::string value = has_value ? std::string(body.substr(sep + 1)) : std::string();

        if (!has_value && (name == "h" || name == "help")) return Parse_Result::Help;

        const Flag* flag = nullptr;
        for (const Flag& f : flags)
            if (name == f.name) flag = &f;
        for (const Flag& f : extra_flags)
            if (name == f.name) flag = &f;
        if (!flag) {
            error = "unknown flag '-" + std::string(name) + "'";
            return Parse_Result::Error;
        }
        switch (flag->kind) {
        case Kind::Bool:
            if (!has_value) {
                opt.no_install = true;
            } else if (!parse_bool(value, opt.no_install)) {
                error = "flag '-" + std::string(name) + "' takes true or false, not '" + value + "'";
                return Parse_Result::Error;
            }
            break;
        case Kind::Float:
            if (!has_value) {
                error = "flag '-" + std::string(name) + "' needs a value, as in -" + std::string(name) + ":2";
                return Parse_Result::Error;
            }
            if (!parse_decimal(value, *float_field(opt, name))) {
                error = "flag '-" + std::string(name) + "' takes a number, not '" + value + "'";
                return Parse_Result::Error;
            }
            if (name == "scale" && !(opt.scale >= 1 && opt.scale <= 4)) {
                error = "flag '-scale' takes a scale from 1 to 4, not '" + value + "'";
                return Parse_Result::Error;
            }
            break;
        case Kind::String:
            if (!has_value) {
                error = "flag '-" + std::string(name) + "' needs a value, as in -" + std::string(name) + ":<value>";
                return Parse_Result::Error;
            }
            *string_field(opt, name) = value;
            break;
        }
    }
    return Parse_Result::Ok;
}

std::string usage_text(const std::string& program) {
    std::string out = "Usage:\n\t" + program;
    for (const Flag& f : flags) out += std::string(" [-") + f.name + "]";
    out += "\nFlags:\n";
    size_t width = 0;
    for (const Flag& f : flags) width = std::max(width, 1 + std::string_view(f.name).size() + std::string_view(value_type(f.kind)).size() + (f.kind == Kind::Bool ? 0 : 1));
    for (const Flag& f : flags) {
        std::string left = std::string("-") + f.name;
        if (f.kind != Kind::Bool) left += std::string(":") + value_type(f.kind);
        left.resize(width, ' ');
        out += "\t" + left + "  | " + f.usage + "\n";
    }
    return out;
}

}  // namespace launcher
