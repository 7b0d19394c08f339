// catalog: one compiled gettext catalogue (.mo) read from memory, and the plural rule of its
// header.
//
// A catalogue is input like any other file: every offset and length is checked against the
// bytes, the plural expression is parsed with a bounded length and depth, and anything that does
// not hold makes the whole catalogue unusable (the caller then speaks English). The bytes must
// outlive the catalogue: entries point into them. No dependencies; any thread once built.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lang {

// A parsed Plural-Forms expression: nodes of a C-like expression over n.
struct Plural_Rule {
    struct Node {
        char op = 0;   // 'n', '#' (number), '~' (not), '?', or the first character of a binary operator
        char op2 = 0;  // the second character of a two-character operator ("==", "<=", "&&"...)
        uint32_t value = 0;
        int a = -1, b = -1, c = -1;
    };
    std::vector<Node> nodes;   // empty: the Germanic rule, n != 1
    int root = -1;
    int count = 2;             // nplurals
};

// Parses "nplurals=3; plural=(n==1 ? 0 : n%10>=2 && ... ? 1 : 2);". False for anything else, or
// an expression longer than 512 characters or nested deeper than 32.
bool parse_plural_forms(std::string_view header_value, Plural_Rule& out);
// The form for n, always in 0..count-1 (a rule that answers out of range gives form 0).
int plural_form(const Plural_Rule& rule, uint64_t n);

struct Catalog {
    struct Entry {
        std::string_view msgid;       // "singular" or "singular\0plural"
        std::string_view translation; // "text" or "form0\0form1\0..."
    };
    std::vector<Entry> entries;       // sorted by msgid, as msgfmt writes them
    Plural_Rule plural;
    std::string language;             // the header's Language field
};

// Reads a .mo file. False (and `err` says why) when any part of it is out of bounds or unsorted.
bool parse_mo(std::string_view bytes, Catalog& out, std::string& err);
// The translation of `msgid`, or empty when the catalogue has none (or it is empty, untranslated).
std::string_view lookup(const Catalog& c, std::string_view msgid);
// The plural form for n of the entry "singular\0plural"; empty when the catalogue has none.
std::string_view lookup_plural(const Catalog& c, std::string_view singular, std::string_view plural, uint64_t n);

}  // namespace lang
