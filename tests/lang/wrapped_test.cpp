// Every text the player reads goes through the lookup: no drawing call, button or message in the
// screens and widgets is handed a bare English literal.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;

TEST(Wrapped, NoLiteralTextIsDrawnWithoutTheLookup) {
    // A call that shows its text argument, with a literal holding a letter among its arguments.
    // Each literal among a call's arguments in turn; the brand's name is the same in every language.
    // An argument's characters: no statement's end, and no ')' closing a line (an if's condition).
    const std::string arg = R"((?:[^;"\)]|\)(?!\s*\n)))";
    const std::regex shown(std::regex_replace(
        R"(\b(draw_text|wrap_text|caption|button|nav_button|toggle|say|maps_say|set_error|fail|set_failure)\s*\((ARG*"[^"]*")*?ARG*"(?!TARNWICK")[^"]*[A-Za-z][^"]*")", std::regex("ARG"), arg));
    const std::regex looked_up(R"(\b(tr|trn|N_)\s*\(\s*$)");
    int files = 0;
    std::vector<std::string> bare;
    for (const char* folder : {"src/launcher", "src/ui", "src/install", "src/delivery"}) {
        for (const auto& entry : fs::recursive_directory_iterator(fs::path(TARNWICK_SOURCE_DIR) / folder)) {
            if (entry.path().extension() != ".cpp") continue;
            ++files;
            std::ifstream in(entry.path());
            std::stringstream text;
            text << in.rdbuf();
            std::string source = text.str();
            for (auto it = std::sregex_iterator(source.begin(), source.end(), shown); it != std::sregex_iterator(); ++it) {
                // The literal must sit right inside tr( / trn( / N_(.
                std::string call = it->str();
                std::string before = call.substr(0, call.rfind('"', call.size() - 2));
                if (std::regex_search(before, looked_up)) continue;
                bare.push_back(entry.path().filename().string() + ": " + call);
            }
        }
    }
    EXPECT_GT(files, 20);
    for (const std::string& b : bare) ADD_FAILURE() << "not looked up: " << b;
}
