// The language in force, the lookup, the pseudo-language and numbers.
#include "lang/lang.h"

#include "lang/catalog.h"
#include "platform/system.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

// The catalogues compiled from po/*.po, generated at build time by cmake/embed.cmake.
struct Embedded_File {
    const char* name;
    const unsigned char* bytes;
    unsigned long size;
};
extern const Embedded_File embedded_catalogs[];
extern const unsigned long embedded_catalogs_count;

namespace lang {

namespace {

// Each language's own name and decimal separator: the one place numbers take their form from.
struct Known {
    const char* code;
    const char* name;
    char decimal;
};
constexpr Known known[] = {
    {"en", "English", '.'},         {"de", "Deutsch", ','},          {"fr", "Français", ','},
    {"pt_BR", "Português (Brasil)", ','}, {"pt", "Português", ','}, {"ru", "Русский", ','},
    {"ja", "日本語", '.'},           {"zh_CN", "简体中文", '.'},       {"zh_TW", "繁體中文", '.'},
    {"es", "Español", ','},         {"it", "Italiano", ','},         {"pl", "Polski", ','},
    {"ko", "한국어", '.'},           {"pseudo", "Pseudo", '.'},
};

const Known* known_of(std::string_view code) {
    for (const Known& k : known)
        if (code == k.code) return &k;
    return nullptr;
}

struct Loaded {
    Language language;
    Catalog catalog;
};

struct Registry {
    std::vector<Language> list;
    std::vector<std::unique_ptr<Loaded>> loaded;   // never freed: views into them are handed out
};

const Registry& registry() {
    static const Registry r = [] {
        Registry r;
        r.list.push_back({"en", "English"});
        for (unsigned long k = 0; k < embedded_catalogs_count; ++k) {
            const Embedded_File& f = embedded_catalogs[k];
            auto l = std::make_unique<Loaded>();
            std::string err;
            std::string_view bytes(reinterpret_cast<const char*>(f.bytes), f.size);
            if (!parse_mo(bytes, l->catalog, err)) {
                fprintf(stderr, "The %s catalogue is damaged (%s); that language is left out.\n", f.name, err.c_str());
                continue;
            }
            const Known* n = known_of(f.name);
            l->language = {f.name, n ? n->name : f.name};
            r.list.push_back(l->language);
            r.loaded.push_back(std::move(l));
        }
        return r;
    }();
    return r;
}

std::atomic<const Loaded*> in_force{nullptr};
std::atomic<bool> pseudo_on{false};

std::mutex pseudo_mutex;
std::unordered_map<std::string, std::string> pseudo_cache;   // elements never move once made

std::string_view pseudo_of(std::string_view text) {
    std::lock_guard lock(pseudo_mutex);
    auto it = pseudo_cache.find(std::string(text));
    if (it == pseudo_cache.end()) it = pseudo_cache.emplace(std::string(text), pseudo(text)).first;
    return it->second;
}

}  // namespace

const std::vector<Language>& languages() { return registry().list; }

std::string current() {
    if (pseudo_on) return "pseudo";
    const Loaded* l = in_force.load();
    return l ? l->language.code : "en";
}

bool use_language(std::string_view code) {
    pseudo_on = code == "pseudo";
    in_force = nullptr;
    if (code == "en" || code == "pseudo") return true;
    for (const auto& l : registry().loaded)
        if (l->language.code == code) {
            in_force = l.get();
            return true;
        }
    return false;
}

std::string match_language(std::string_view tag, const std::vector<Language>& among) {
    // "pt_BR.UTF-8@euro" and "pt-BR" alike: language, then script or country.
    std::string t(tag.substr(0, tag.find_first_of(".@")));
    for (char& c : t)
        if (c == '-') c = '_';
    std::string language = t.substr(0, t.find('_')), country;
    for (char& c : language) c = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (language.empty() || language == "c" || language == "posix") return "";
    std::string rest = t.size() > language.size() ? t.substr(language.size() + 1) : "";
    if (language == "zh") {
        bool traditional = rest.find("Hant") != std::string::npos || rest == "TW" || rest == "HK" || rest == "MO";
        country = traditional ? "TW" : "CN";
    } else {
        country = rest.substr(0, rest.find('_'));
        for (char& c : country) c = char(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    std::string full = country.empty() ? language : language + "_" + country;
    for (const Language& l : among)
        if (l.code == full) return l.code;
    for (const Language& l : among)
        if (l.code == language) return l.code;
    // Another country's form of the language serves, but not another script's Chinese.
    if (language == "zh") return "";
    for (const Language& l : among)
        if (l.code.rfind(language + "_", 0) == 0) return l.code;
    return "";
}

std::string system_language() {
    for (const std::string& tag : platform::user_languages()) {
        std::string code = match_language(tag, languages());
        if (!code.empty()) return code;
        if (tag.rfind("en", 0) == 0) break;   // English preferred before any catalogue
    }
    return "en";
}

std::string pick_language(std::string_view flag, std::string_view env, std::string_view setting) {
    for (std::string_view asked : {flag, env, setting}) {
        if (asked.empty()) continue;
        if (asked == "pseudo" || asked == "en") return std::string(asked);
        std::string code = match_language(asked, languages());
        return code.empty() ? "en" : code;
    }
    return system_language();
}

std::string_view tr(std::string_view msgid) {
    if (pseudo_on) return pseudo_of(msgid);
    const Loaded* l = in_force.load();
    std::string_view t = l ? lookup(l->catalog, msgid) : std::string_view();
    return t.empty() ? msgid : t;
}

std::string_view trn(std::string_view singular, std::string_view plural, uint64_t n) {
    if (pseudo_on) return pseudo_of(n == 1 ? singular : plural);
    const Loaded* l = in_force.load();
    std::string_view t = l ? lookup_plural(l->catalog, singular, plural, n) : std::string_view();
    return !t.empty() ? t : n == 1 ? singular : plural;
}

std::string fmt(std::string_view p, std::initializer_list<std::string_view> args) {
    std::string out;
    out.reserve(p.size() + 32);
    for (size_t i = 0; i < p.size(); ++i) {
        if (p[i] != '%') {
            out += p[i];
            continue;
        }
        if (i + 1 < p.size() && p[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        if (i + 3 < p.size() && p[i + 1] >= '1' && p[i + 1] <= '9' && p[i + 2] == '$' && p[i + 3] == 's' &&
            size_t(p[i + 1] - '1') < args.size()) {
            out += args.begin()[p[i + 1] - '1'];
            i += 3;
            continue;
        }
        out += '%';
    }
    return out;
}

std::string number(double value, int decimals) {
    char text[64];
    snprintf(text, sizeof text, "%.*f", decimals < 0 ? 0 : decimals > 6 ? 6 : decimals, value);
    const Known* k = known_of(current());
    std::string out = text;
    if (k && k->decimal != '.')
        for (char& c : out)
            if (c == '.') c = k->decimal;
    return out;
}

std::string pseudo(std::string_view text) {
    // An accented look-alike for each ASCII letter that has one in Latin-1 or Latin Extended-A,
    // which every Latin font the launcher draws with covers.
    static const char* const lower[26] = {"á", "b", "ç", "ð", "é", "f", "ĝ", "ĥ", "î", "ĵ", "ķ", "ļ", "m",
                                          "ñ", "ö", "þ", "q", "ŕ", "š", "ţ", "û", "v", "ŵ", "x", "ý", "ž"};
    static const char* const upper[26] = {"Å", "B", "Ç", "Ð", "É", "F", "Ĝ", "Ĥ", "Î", "Ĵ", "Ķ", "Ļ", "M",
                                          "Ñ", "Ö", "Þ", "Q", "Ŕ", "Ŝ", "Ţ", "Û", "V", "Ŵ", "X", "Ý", "Ž"};
    std::string out = "[";
    size_t letters = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {   // a placeholder goes through whole: "%%", "%1$s", "%d"
            size_t end = i + 1;
            while (end < text.size() && !((text[end] >= 'a' && text[end] <= 'z') || text[end] == '%')) ++end;
            out += text.substr(i, end + 1 - i);
            i = end;
            continue;
        }
        ++letters;
        if (c >= 'a' && c <= 'z') out += lower[c - 'a'];
        else if (c >= 'A' && c <= 'Z') out += upper[c - 'A'];
        else out += c;
    }
    out += ' ';
    out.append((letters * 2 + 4) / 5, '~');
    out += ']';
    return out;
}

}  // namespace lang
