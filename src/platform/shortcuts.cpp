#include "platform/shortcuts.h"

namespace platform {

static std::string single_quoted_body(std::string_view s) {
    std::string out;
    for (char c : s) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out;
}

std::string shortcut_script(std::string_view target, std::string_view install_dir) {
    return "$w=New-Object -ComObject WScript.Shell;foreach($d in @([Environment]::GetFolderPath('Programs'),"
           "[Environment]::GetFolderPath('Desktop'))){$s=$w.CreateShortcut(\"$d\\Tarnwick.lnk\");$s.TargetPath='" +
           single_quoted_body(target) + "';$s.WorkingDirectory='" + single_quoted_body(install_dir) + "';$s.Save()}";
}

// Desktop entry values escape backslashes and line breaks; Exec arguments are quoted when they
// hold anything a shell-like parser would split on.
static std::string entry_value(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

static std::string exec_argument(std::string_view s) {
    std::string quoted = "\"";
    for (char c : s) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';   // a literal percent sign in Exec is written twice
        quoted += c;
    }
    quoted += '"';
    return entry_value(quoted);
}

std::string desktop_entry(std::string_view launcher, std::string_view install_dir, std::string_view icon) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tarnwick\n"
           "Comment=Play Tarnwick, keep it up to date and share maps\n"
           "Exec=" + exec_argument(launcher) + "\n"
           "Path=" + entry_value(install_dir) + "\n"
           "Icon=" + entry_value(icon) + "\n"
           "Terminal=false\n"
           "Categories=Game;\n";
}

}  // namespace platform
