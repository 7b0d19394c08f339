#include "platform/shortcuts.h"
#include "platform/system.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(Shortcuts, WindowsScriptDoublesSingleQuotesInPaths) {
    std::string script = shortcut_script("C:\\Games\\O'Brien\\launcher.exe", "C:\\Games\\O'Brien");
    EXPECT_EQ(script,
              "$w=New-Object -ComObject WScript.Shell;foreach($d in @([Environment]::GetFolderPath('Programs'),"
              "[Environment]::GetFolderPath('Desktop'))){$s=$w.CreateShortcut(\"$d\\Tarnwick.lnk\");"
              "$s.TargetPath='C:\\Games\\O''Brien\\launcher.exe';$s.WorkingDirectory='C:\\Games\\O''Brien';$s.Save()}");
    // A name built to close the string and run code stays inside the string.
    std::string hostile = shortcut_script("C:\\x';Remove-Item C:\\ -Recurse;'\\launcher.exe", "C:\\x");
    EXPECT_NE(hostile.find("'C:\\x'';Remove-Item C:\\ -Recurse;''\\launcher.exe'"), std::string::npos);
}

TEST(Shortcuts, DesktopEntryQuotesTheProgram) {
    std::string entry = desktop_entry("/home/a/My Games/launcher", "/home/a/My Games", "/home/a/My Games/tarnwick.png");
    EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_NE(entry.find("\nExec=\"/home/a/My Games/launcher\"\n"), std::string::npos);
    EXPECT_NE(entry.find("\nPath=/home/a/My Games\n"), std::string::npos);
    EXPECT_NE(entry.find("\nName=Tarnwick\n"), std::string::npos);
    EXPECT_NE(entry.find("\nCategories=Game;\n"), std::string::npos);
    std::string odd = desktop_entry("/g/100%$\"x\n/launcher", "/g", "/g/i.png");
    EXPECT_NE(odd.find("\nExec=\"/g/100%%\\\\$\\\\\"x\\n/launcher\"\n"), std::string::npos) << odd;
}

TEST(Paths, CleanPathResolvesDotsAndSeparators) {
    EXPECT_EQ(clean_path("./"), ".");
    EXPECT_TRUE(same_path(clean_path("/g/./t/launcher"), clean_path("/g/t//launcher")));
#ifndef _WIN32
    // Windows writes the cleaned path with its own separator (tests/windows covers it).
    EXPECT_EQ(clean_path("/a/./b//c/../launcher"), "/a/b/launcher");
    EXPECT_EQ(clean_path("/../a"), "/a");
    EXPECT_EQ(clean_path("a/../../b"), "../b");
    EXPECT_FALSE(same_path("/g/T/launcher", "/g/t/launcher"));   // Linux names differ by case
#endif
}
