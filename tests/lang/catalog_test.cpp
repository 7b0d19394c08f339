// Compiled catalogues read from hostile bytes, plural rules, placeholders in any order, and the
// choice of language.
#include "lang/catalog.h"
#include "lang/lang.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>

namespace {

// A .mo file as msgfmt writes one: header, two tables of (length, offset), then the strings.
std::string mo_bytes(const std::map<std::string, std::string>& entries) {
    std::string head, strings;
    auto u32 = [](std::string& out, uint32_t v) {
        for (int k = 0; k < 4; ++k) out += char(v >> (8 * k) & 0xFF);
    };
    uint32_t n = uint32_t(entries.size()), originals = 28, translations = originals + 8 * n, data = translations + 8 * n;
    std::string table_o, table_t;
    for (const auto& [id, text] : entries) {
        u32(table_o, uint32_t(id.size()));
        u32(table_o, data + uint32_t(strings.size()));
        strings += id + '\0';
    }
    for (const auto& [id, text] : entries) {
        u32(table_t, uint32_t(text.size()));
        u32(table_t, data + uint32_t(strings.size()));
        strings += text + '\0';
    }
    for (uint32_t v : {0x950412deu, 0u, n, originals, translations, 0u, data}) u32(head, v);
    return head + table_o + table_t + strings;
}

const std::string russian_header =
    "Language: ru\nPlural-Forms: nplurals=3; plural=(n%10==1 && n%100!=11 ? 0 : n%10>=2 && n%10<=4 && "
    "(n%100<10 || n%100>=20) ? 1 : 2);\n";

}  // namespace

TEST(Catalog, PluralRulesPickTheFormForEachCount) {
    struct Case { const char* rule; uint64_t n; int form; } cases[] = {
        {"nplurals=2; plural=(n != 1);", 1, 0},
        {"nplurals=2; plural=(n != 1);", 0, 1},
        {"nplurals=2; plural=(n > 1);", 0, 0},   // French: zero is singular
        {"nplurals=1; plural=0;", 7, 0},          // Japanese, Chinese
        {russian_header.c_str() + 13, 1, 0},
        {russian_header.c_str() + 13, 11, 2},
        {russian_header.c_str() + 13, 22, 1},
        {russian_header.c_str() + 13, 25, 2},
        {russian_header.c_str() + 13, 101, 0},
        {"nplurals=2; plural=n/0;", 5, 0},        // division by zero picks form 0, never traps
        {"nplurals=2; plural=n+5;", 1, 0},        // out of range: form 0
    };
    for (const Case& c : cases) {
        lang::Plural_Rule rule;
        ASSERT_TRUE(lang::parse_plural_forms(c.rule, rule)) << c.rule;
        EXPECT_EQ(lang::plural_form(rule, c.n), c.form) << c.rule << " n=" << c.n;
    }
}

TEST(Catalog, APluralRuleThatDoesNotParseOrGoesTooDeepIsRefused) {
    std::string deep = "nplurals=2; plural=" + std::string(40, '(') + "n" + std::string(40, ')') + ";";
    std::string long_rule = "nplurals=2; plural=n" + std::string(600, ' ') + ";";
    for (const std::string& bad : {std::string("nplurals=2; plural=(n != 1;"), std::string("nplurals=9; plural=n;"),
                                   std::string("plural=n;"), std::string("nplurals=2; plural=n ? 1;"),
                                   std::string("nplurals=2; plural=x;"), deep, long_rule}) {
        lang::Plural_Rule rule;
        EXPECT_FALSE(lang::parse_plural_forms(bad, rule)) << bad;
    }
}

TEST(Catalog, LooksUpTranslationsAndPluralForms) {
    std::string bytes = mo_bytes({{"", russian_header},
                                  {"Sign in", "Войти"},
                                  {std::string("%1$s map\0%1$s maps", sizeof "%1$s map\0%1$s maps" - 1),
                                   std::string("%1$s карта\0%1$s карты\0%1$s карт", sizeof "%1$s карта\0%1$s карты\0%1$s карт" - 1)}});
    lang::Catalog c;
    std::string err;
    ASSERT_TRUE(lang::parse_mo(bytes, c, err)) << err;
    EXPECT_EQ(c.language, "ru");
    EXPECT_EQ(lang::lookup(c, "Sign in"), "Войти");
    EXPECT_EQ(lang::lookup(c, "Sign out"), "");
    EXPECT_EQ(lang::lookup_plural(c, "%1$s map", "%1$s maps", 21), "%1$s карта");
    EXPECT_EQ(lang::lookup_plural(c, "%1$s map", "%1$s maps", 3), "%1$s карты");
    EXPECT_EQ(lang::lookup_plural(c, "%1$s map", "%1$s maps", 5), "%1$s карт");
}

TEST(Catalog, ADamagedCatalogueIsRefusedWhole) {
    std::string good = mo_bytes({{"", "Language: de\n"}, {"Cancel", "Abbrechen"}, {"Save", "Speichern"}});
    auto with = [&](size_t at, char byte) {
        std::string b = good;
        b[at] = byte;
        return b;
    };
    struct Case { const char* what; std::string bytes; } cases[] = {
        {"empty", ""},
        {"cut in its header", good.substr(0, 20)},
        {"cut in its strings", good.substr(0, good.size() - 4)},
        {"wrong magic", with(0, 'x')},
        {"a string's offset past the end", with(28 + 8 + 4 + 3, char(0x7F))},
        {"a string's length past the end", with(28 + 8 + 3, char(0x7F))},
        {"a count larger than the file", with(8 + 3, char(0x10))},
        {"no NUL after a string", with(good.size() - 1, 'x')},
    };
    for (const Case& c : cases) {
        lang::Catalog out;
        std::string err;
        EXPECT_FALSE(lang::parse_mo(c.bytes, out, err)) << c.what;
        EXPECT_FALSE(err.empty()) << c.what;
    }
    std::string unsorted = mo_bytes({{"", ""}, {"Save", "Speichern"}});
    std::swap(unsorted[28 + 8 + 4], unsorted[28 + 4]);   // the two offsets trade places
    lang::Catalog out;
    std::string err;
    EXPECT_FALSE(lang::parse_mo(unsorted, out, err));
}

TEST(Lang, PlaceholdersTakeTheirArgumentsInAnyOrder) {
    struct Case { const char* pattern; const char* out; } cases[] = {
        {"The disk is full: Tarnwick needs %1$s more in %2$s.", "The disk is full: Tarnwick needs 12 MB more in /games."},
        {"In %2$s fehlen %1$s.", "In /games fehlen 12 MB."},
        {"%2$s%1$s%2$s", "/games12 MB/games"},
        {"Resume (%1$s %%)", "Resume (12 MB %)"},
        {"%3$s stays, as does %", "%3$s stays, as does %"},
    };
    for (const Case& c : cases) EXPECT_EQ(fmt(c.pattern, {"12 MB", "/games"}), c.out);
}

TEST(Lang, ThePseudoLanguageIsLongerAccentedAndKeepsPlaceholders) {
    EXPECT_EQ(lang::pseudo("Sign in"), "[Ŝîĝñ îñ ~~~]");
    EXPECT_EQ(lang::pseudo("Maps"), "[Máþš ~~]");
    std::string p = lang::pseudo("Couldn't write %1$s (%2$s). Try again, 100%%.");
    EXPECT_NE(p.find("%1$s"), std::string::npos);
    EXPECT_NE(p.find("(%2$s)"), std::string::npos);
    EXPECT_NE(p.find("%%"), std::string::npos);
    ASSERT_TRUE(lang::use_language("pseudo"));
    EXPECT_EQ(tr("Sign in"), "[Ŝîĝñ îñ ~~~]");
    EXPECT_EQ(lang::number(1.5, 1), "1.5");
    lang::use_language("en");
}

TEST(Lang, SystemTagsFindTheirCatalogue) {
    std::vector<lang::Language> among{{"en", "English"}, {"de", "Deutsch"}, {"pt_BR", "Português (Brasil)"},
                                      {"zh_CN", "简体中文"}};
    struct Case { const char* tag; const char* code; } cases[] = {
        {"de_DE.UTF-8", "de"},  {"de-AT", "de"},       {"pt_BR.UTF-8@euro", "pt_BR"}, {"pt-PT", "pt_BR"},
        {"pt", "pt_BR"},        {"zh-Hans-CN", "zh_CN"}, {"zh_SG", "zh_CN"},          {"zh-Hant-TW", ""},
        {"fr_FR.UTF-8", ""},    {"C", ""},             {"POSIX", ""},                  {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(lang::match_language(c.tag, among), c.code) << c.tag;
}

TEST(Lang, WithoutACatalogueTheLauncherSpeaksEnglish) {
    // The flag decides before the environment and the setting; a language without a catalogue is
    // English, not the next in line.
    EXPECT_EQ(lang::pick_language("pseudo", "de", ""), "pseudo");
    EXPECT_EQ(lang::pick_language("", "en", "pseudo"), "en");
    EXPECT_EQ(lang::pick_language("xx", "pseudo", ""), "en");
    EXPECT_FALSE(lang::use_language("xx"));
    EXPECT_EQ(lang::current(), "en");
    EXPECT_EQ(tr("Sign in"), "Sign in");
    EXPECT_EQ(trn("%1$s file", "%1$s files", 1), "%1$s file");
    EXPECT_EQ(trn("%1$s file", "%1$s files", 2), "%1$s files");
}
