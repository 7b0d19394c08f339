// The command line: flags of the form -name, -name:value and -name=value.
#pragma once
#include <string>
#include <vector>

namespace launcher {

struct Options {
    std::string backend;
    std::string dir;
    std::string channel;
    std::string screenshot;
    double seconds = 4;
    std::string tab;
    bool no_install = false;
    double scale = 0;   // -scale: the display scale; 0 takes the display's
    std::string lang;   // -lang: a language code, "en" or "pseudo"; "" for the player's choice
};

enum class Parse_Result { Ok, Help, Error };

// Parses the arguments after the program name. On Error, `error` holds one line describing it.
Parse_Result parse_options(const std::vector<std::string>& args, Options& opt, std::string& error);

// The usage text; `program` is the program's file name.
std::string usage_text(const std::string& program);

// The launcher's fixed identity.
inline constexpr const char* version = "0.1.3";
inline constexpr const char* user_agent = "TarnwickLauncher/0.1.3";
// Built-in backend base URL (https, 23 characters, no trailing slash).
inline constexpr const char* default_backend = "https://api.tarnwick.gg";

}  // namespace launcher
