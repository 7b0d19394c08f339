// Reading a compiled catalogue and evaluating its plural rule.
#include "lang/catalog.h"

#include <algorithm>
#include <cstring>

namespace lang {

// Plural rule --------------------------------------------------------------------------------------

namespace {

constexpr size_t max_expression = 512;
constexpr int max_depth = 32;

struct Parser {
    std::string_view s;
    size_t i = 0;
    int depth = 0;
    bool ok = true;
    std::vector<Plural_Rule::Node>& nodes;

    void skip() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    }
    bool eat(std::string_view t) {
        skip();
        if (s.substr(i, t.size()) != t) return false;
        // "<" must not take the first character of "<=", nor "|" of "||" stand alone.
        if (t.size() == 1 && i + 1 < s.size() && (t == "<" || t == ">" || t == "!" || t == "=") && s[i + 1] == '=')
            return false;
        i += t.size();
        return true;
    }
    int add(Plural_Rule::Node n) {
        nodes.push_back(n);
        return int(nodes.size()) - 1;
    }
    int binary(const char* op, int a, int b) {
        Plural_Rule::Node n;
        n.op = op[0];
        n.op2 = op[1];
        n.a = a;
        n.b = b;
        return add(n);
    }
    int fail() {
        ok = false;
        return -1;
    }

    int ternary() {
        if (++depth > max_depth) return fail();
        int cond = logical_or();
        if (ok && eat("?")) {
            int yes = ternary();
            if (!ok || !eat(":")) return fail();
            int no = ternary();
            Plural_Rule::Node n;
            n.op = '?';
            n.a = cond;
            n.b = yes;
            n.c = no;
            cond = add(n);
        }
        --depth;
        return ok ? cond : -1;
    }
    int logical_or() {
        int l = logical_and();
        while (ok && eat("||")) l = binary("||", l, logical_and());
        return l;
    }
    int logical_and() {
        int l = equality();
        while (ok && eat("&&")) l = binary("&&", l, equality());
        return l;
    }
    int equality() {
        int l = relation();
        while (ok) {
            if (eat("==")) l = binary("==", l, relation());
            else if (eat("!=")) l = binary("!=", l, relation());
            else break;
        }
        return l;
    }
    int relation() {
        int l = additive();
        while (ok) {
            if (eat("<=")) l = binary("<=", l, additive());
            else if (eat(">=")) l = binary(">=", l, additive());
            else if (eat("<")) l = binary("<", l, additive());
            else if (eat(">")) l = binary(">", l, additive());
            else break;
        }
        return l;
    }
    int additive() {
        int l = multiplicative();
        while (ok) {
            if (eat("+")) l = binary("+", l, multiplicative());
            else if (eat("-")) l = binary("-", l, multiplicative());
            else break;
        }
        return l;
    }
    int multiplicative() {
        int l = unary();
        while (ok) {
            if (eat("*")) l = binary("*", l, unary());
            else if (eat("/")) l = binary("/", l, unary());
            else if (eat("%")) l = binary("%", l, unary());
            else break;
        }
        return l;
    }
    int unary() {
        if (eat("!")) {
            if (++depth > max_depth) return fail();
            Plural_Rule::Node n;
            n.op = '~';   // not: '!' is the first character of "!="
            n.a = unary();
            --depth;
            return ok ? add(n) : -1;
        }
        return primary();
    }
    int primary() {
        skip();
        if (i >= s.size()) return fail();
        if (s[i] == 'n') {
            ++i;
            Plural_Rule::Node n;
            n.op = 'n';
            return add(n);
        }
        if (s[i] >= '0' && s[i] <= '9') {
            uint64_t v = 0;
            while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
                v = v * 10 + uint64_t(s[i++] - '0');
                if (v > 0xFFFFFFFFu) return fail();
            }
            Plural_Rule::Node n;
            n.op = '#';
            n.value = uint32_t(v);
            return add(n);
        }
        if (eat("(")) {
            int e = ternary();
            if (!ok || !eat(")")) return fail();
            return e;
        }
        return fail();
    }
};

uint64_t evaluate(const std::vector<Plural_Rule::Node>& nodes, int at, uint64_t n) {
    const Plural_Rule::Node& x = nodes[size_t(at)];
    switch (x.op) {
    case 'n': return n;
    case '#': return x.value;
    case '~': return !evaluate(nodes, x.a, n);
    case '?': return evaluate(nodes, x.a, n) ? evaluate(nodes, x.b, n) : evaluate(nodes, x.c, n);
    default: break;
    }
    uint64_t l = evaluate(nodes, x.a, n);
    // Short-circuit as C does; the right side is still a valid node.
    if (x.op == '&' && !l) return 0;
    if (x.op == '|' && l) return 1;
    uint64_t r = evaluate(nodes, x.b, n);
    switch (x.op) {
    case '&': return r != 0;
    case '|': return r != 0;
    case '=': return l == r;
    case '!': return l != r;
    case '<': return x.op2 == '=' ? l <= r : l < r;
    case '>': return x.op2 == '=' ? l >= r : l > r;
    case '+': return l + r;
    case '-': return l - r;
    case '*': return l * r;
    case '/': return r ? l / r : 0;   // a rule dividing by zero picks form 0, never traps
    case '%': return r ? l % r : 0;
    }
    return 0;
}

}  // namespace

bool parse_plural_forms(std::string_view v, Plural_Rule& out) {
    out = {};
    size_t np = v.find("nplurals="), pl = v.find("plural=", np == std::string_view::npos ? 0 : np + 9);
    if (np == std::string_view::npos || pl == std::string_view::npos) return false;
    size_t k = np + 9;
    int count = 0;
    while (k < v.size() && v[k] >= '0' && v[k] <= '9' && count < 100) count = count * 10 + (v[k++] - '0');
    if (count < 1 || count > 6) return false;
    std::string_view expr = v.substr(pl + 7);
    if (size_t end = expr.find(';'); end != std::string_view::npos) expr = expr.substr(0, end);
    if (expr.size() > max_expression) return false;
    Plural_Rule rule;
    rule.count = count;
    Parser p{expr, 0, 0, true, rule.nodes};
    rule.root = p.ternary();
    p.skip();
    if (!p.ok || rule.root < 0 || p.i != expr.size()) return false;
    out = std::move(rule);
    return true;
}

int plural_form(const Plural_Rule& rule, uint64_t n) {
    uint64_t form = rule.nodes.empty() ? (n != 1) : evaluate(rule.nodes, rule.root, n);
    return form < uint64_t(rule.count) ? int(form) : 0;
}

// The .mo file ------------------------------------------------------------------------------------

static bool read_u32(std::string_view b, size_t at, bool swap, uint32_t& v) {
    if (at > b.size() || b.size() - at < 4) return false;
    auto u = [&](size_t k) { return uint32_t(static_cast<unsigned char>(b[at + k])); };
    v = swap ? u(0) << 24 | u(1) << 16 | u(2) << 8 | u(3) : u(3) << 24 | u(2) << 16 | u(1) << 8 | u(0);
    return true;
}

// The string at table entry `index`: a length, an offset, and the NUL that msgfmt puts after it.
static bool read_string(std::string_view b, uint32_t table, uint32_t index, bool swap, std::string_view& s) {
    uint32_t len = 0, off = 0;
    size_t at = size_t(table) + size_t(index) * 8;
    if (!read_u32(b, at, swap, len) || !read_u32(b, at + 4, swap, off)) return false;
    if (off > b.size() || b.size() - off <= len || b[size_t(off) + len] != '\0') return false;
    s = b.substr(off, len);
    return true;
}

static std::string_view header_field(std::string_view header, std::string_view name) {
    size_t at = 0;
    while (at < header.size()) {
        size_t end = header.find('\n', at);
        if (end == std::string_view::npos) end = header.size();
        std::string_view line = header.substr(at, end - at);
        if (line.size() > name.size() && line.substr(0, name.size()) == name && line[name.size()] == ':') {
            line.remove_prefix(name.size() + 1);
            while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
            return line;
        }
        at = end + 1;
    }
    return {};
}

bool parse_mo(std::string_view b, Catalog& out, std::string& err) {
    out = {};
    uint32_t magic = 0, revision = 0, count = 0, originals = 0, translations = 0;
    if (!read_u32(b, 0, false, magic)) return err = "shorter than its header", false;
    bool swap = magic == 0xde120495u;
    if (magic != 0x950412deu && !swap) return err = "not a compiled catalogue", false;
    read_u32(b, 4, swap, revision);
    if (!read_u32(b, 8, swap, count) || !read_u32(b, 12, swap, originals) || !read_u32(b, 16, swap, translations))
        return err = "shorter than its header", false;
    if ((revision >> 16) > 1) return err = "an unknown revision", false;
    if (count > b.size() / 16) return err = "more strings than bytes", false;
    Catalog c;
    c.entries.reserve(count);
    for (uint32_t k = 0; k < count; ++k) {
        Catalog::Entry e;
        if (!read_string(b, originals, k, swap, e.msgid) || !read_string(b, translations, k, swap, e.translation))
            return err = "string " + std::to_string(k) + " out of bounds", false;
        if (!c.entries.empty() && !(c.entries.back().msgid < e.msgid)) return err = "strings out of order", false;
        c.entries.push_back(e);
    }
    if (!c.entries.empty() && c.entries.front().msgid.empty()) {
        std::string_view header = c.entries.front().translation;
        c.language = std::string(header_field(header, "Language"));
        std::string_view forms = header_field(header, "Plural-Forms");
        if (!forms.empty() && !parse_plural_forms(forms, c.plural)) return err = "a plural rule it cannot read", false;
    }
    out = std::move(c);
    return true;
}

static const Catalog::Entry* find(const Catalog& c, std::string_view key) {
    auto it = std::lower_bound(c.entries.begin(), c.entries.end(), key,
                               [](const Catalog::Entry& e, std::string_view k) { return e.msgid < k; });
    return it != c.entries.end() && it->msgid == key ? &*it : nullptr;
}

std::string_view lookup(const Catalog& c, std::string_view msgid) {
    if (msgid.empty()) return {};   // the header is no translation
    const Catalog::Entry* e = find(c, msgid);
    return e ? e->translation : std::string_view();
}

std::string_view lookup_plural(const Catalog& c, std::string_view singular, std::string_view plural, uint64_t n) {
    std::string key(singular);
    key += '\0';
    key += plural;
    const Catalog::Entry* e = find(c, key);
    if (!e) return {};
    int form = plural_form(c.plural, n);
    std::string_view forms = e->translation;
    for (int k = 0; k < form; ++k) {
        size_t nul = forms.find('\0');
        if (nul == std::string_view::npos) return {};   // fewer forms than the rule names
        forms.remove_prefix(nul + 1);
    }
    return forms.substr(0, forms.find('\0'));
}

}  // namespace lang
