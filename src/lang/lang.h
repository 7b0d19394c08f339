// lang: every word the player reads, looked up by its English text (gettext's msgid) in the
// language in force, with plural forms, placeholders a translation may reorder, and numbers
// written the way the language writes them.
//
// Placeholders are POSIX positional conversions, "%1$s" ... "%9$s", every argument a string:
// xgettext marks such messages c-format, so `msgfmt --check` refuses a translation that drops or
// changes one, and a translation may use them in any order. "%%" is a percent sign in a message
// that has placeholders. Catalogues are compiled from po/*.po at build time and embedded
// (catalogs_embedded.cpp); a catalogue that does not read leaves English. The language is chosen
// once at start-up and again only from the main thread between frames; tr and trn may be called
// from any thread. Depends on lang/catalog.h.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace lang {

// The language a catalogue is for, as the Language choice names it.
struct Language {
    std::string code;   // "en", "de", "pt_BR", ...
    std::string name;   // in the language itself: "Deutsch", "Português (Brasil)"
};

// English first, then every compiled catalogue that reads, by code.
const std::vector<Language>& languages();
// The code of the language in force: "en", "pseudo", or a compiled catalogue's.
std::string current();
// Switches to `code` ("en", "pseudo", or a code languages() lists); false leaves English.
bool use_language(std::string_view code);

// The compiled code that best serves a language tag ("pt_BR.UTF-8", "pt-BR", "zh-Hans-CN",
// "de_AT"), or "" when none: the same language and country, then the language alone, then the
// language in another country. Chinese script tags map to their usual countries.
std::string match_language(std::string_view tag, const std::vector<Language>& among);
// The first of the system's preferred languages that a catalogue serves, else "en".
std::string system_language();

// The language to start in: the first of the flag (-lang:), TARNWICK_LANG and the player's
// choice that is set decides ("pseudo", "en", or the catalogue match_language finds for it, else
// English); with none set, the system's.
std::string pick_language(std::string_view flag, std::string_view env, std::string_view setting);

// The translation of `msgid` (the English text itself when there is none). The view stays valid
// for the life of the program.
std::string_view tr(std::string_view msgid);
// The plural form for n: `singular` and `plural` are the English ones.
std::string_view trn(std::string_view singular, std::string_view plural, uint64_t n);
// `pattern` with "%1$s" ... replaced by the arguments, "%%" by "%". A placeholder without its
// argument stays as written.
std::string fmt(std::string_view pattern, std::initializer_list<std::string_view> args);

// Marks a message for the template where it is written (a table's label, a constant); it is
// translated with tr() where it is drawn.
constexpr const char* N_(const char* msgid) { return msgid; }

// A number with `decimals` digits after the language's decimal separator ("1,5" in German).
std::string number(double value, int decimals);

// The pseudo-language: the text about 40 % longer, letters accented and bracketed, placeholders
// kept whole: "Sign in" becomes "[Ŝîĝñ îñ ~~~]".
std::string pseudo(std::string_view text);

}  // namespace lang

// The lookup is written bare at every call, as xgettext's keywords (tr, trn:1,2) expect it.
using lang::fmt;
using lang::N_;
using lang::tr;
using lang::trn;
