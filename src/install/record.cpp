// The install record: decoding (valid JSON through json.h; damaged text through a small
// front-to-back reader that keeps what came before the damage), then building, encoding and
// writing a record.
//
// Sections: decode_dom - Reader and decode_damaged - install_decode / install_load -
// install_record_for / install_encode / install_write.
#include "install/record.h"


#include "backend/json.h"
#include "install/tree.h"
#include "platform/files.h"

#include <algorithm>

namespace launcher {

namespace {

constexpr std::string_view record_name = "install.json";

// ---------------------------------------------------------------------------------------------
// Decoding valid JSON: the shared validating parser, then member by member. A member of the
// wrong type stops the decoding, keeping what came before it.

bool decode_entry(json::Value v, Installed_File& f) {
    return json::members(v, [&](std::string_view key, json::Value value) {
        if (key == "path") return json::get(value, f.path);
        if (key == "size") return json::get(value, f.size);
        if (key == "sha256") return json::get(value, f.sha256);
        if (key == "mtime") return json::get(value, f.mtime);
        if (key == "exec") return json::get(value, f.exec);
        return true;
    });
}

bool decode_link(json::Value v, backend::Release_Link& l) {
    return json::members(v, [&](std::string_view key, json::Value value) {
        if (key == "path") return json::get(value, l.path);
        if (key == "target") return json::get(value, l.target);
        return true;
    });
}

void decode_dom(json::Value root, Install_Record& r) {
    json::members(root, [&](std::string_view key, json::Value v) {
        if (key == "version") return json::get(v, r.version);
        if (key == "channel") return json::get(v, r.channel);
        if (key == "sequences") {
            return json::members(v, [&](std::string_view channel, json::Value n) {
                int64_t sequence = 0;
                if (json::get(n, sequence) && sequence > 0) r.sequences[std::string(channel)] = sequence;
                return true;
            });
        }
        if (key == "files") {
            return json::elements(v, [&](json::Value element) {
                Installed_File f;
                if (!decode_entry(element, f)) return false;
                r.files.push_back(std::move(f));
                return true;
            });
        }
        if (key == "links") {
            return json::elements(v, [&](json::Value element) {
                backend::Release_Link l;
                if (!decode_link(element, l)) return false;
                r.links.push_back(std::move(l));
                return true;
            });
        }
        return true;
    });
}

// ---------------------------------------------------------------------------------------------
// Decoding damaged text: a small reader that walks the same grammar front to back and stops at
// the first byte that does not fit, so everything complete before that point is kept. Values
// are stored only once they have been read whole.

struct Reader {
    std::string_view s;
    size_t i = 0;

    void space() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    }
    bool take(char c) {
        space();
        if (i < s.size() && s[i] == c) {
            ++i;
            return true;
        }
        return false;
    }
    bool peek(char c) {
        space();
        return i < s.size() && s[i] == c;
    }
    bool literal(std::string_view word) {
        space();
        if (s.substr(i, word.size()) != word) return false;
        i += word.size();
        return true;
    }

    bool hex4(uint32_t& out) {
        if (s.size() - i < 4) return false;
        out = 0;
        for (int k = 0; k < 4; ++k) {
            char c = s[i++];
            out <<= 4;
            if (c >= '0' && c <= '9') out |= uint32_t(c - '0');
            else if (c >= 'a' && c <= 'f') out |= uint32_t(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') out |= uint32_t(c - 'A' + 10);
            else return false;
        }
        return true;
    }

    static void put_utf8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | (cp >> 18));
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }

    bool string(std::string& out) {
        out.clear();
        if (!take('"')) return false;
        while (i < s.size()) {
            unsigned char c = static_cast<unsigned char>(s[i++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') {
                out += char(c);
                continue;
            }
            if (i >= s.size()) return false;
            char e = s[i++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                uint32_t cp;
                if (!hex4(cp)) return false;
                if (cp >= 0xD800 && cp < 0xDC00) {
                    uint32_t low;
                    if (s.substr(i, 2) != "\\u") return false;
                    i += 2;
                    if (!hex4(low) || low < 0xDC00 || low >= 0xE000) return false;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xDC00 && cp < 0xE000) {
                    return false;
                }
                put_utf8(out, cp);
                break;
            }
            default: return false;
            }
        }
        return false;  // cut off inside the string
    }

    // A JSON number that must be an integer within int64; a fraction or exponent is the wrong type.
    bool integer(int64_t& out) {
        space();
        size_t start = i;
        bool negative = i < s.size() && s[i] == '-';
        if (negative) ++i;
        if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
        if (s[i] == '0' && i + 1 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '9') return false;
        uint64_t magnitude = 0;
        const uint64_t limit = negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            uint64_t digit = uint64_t(s[i++] - '0');
            if (magnitude > (limit - digit) / 10) return false;
            magnitude = magnitude * 10 + digit;
        }
        // A number that runs to the very end might have been cut short: do not trust it.
        if (i >= s.size() || s[i] == '.' || s[i] == 'e' || s[i] == 'E') {
            i = start;
            return false;
        }
        out = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
        return true;
    }

    bool skip_number() {
        space();
        size_t start = i;
        if (i < s.size() && s[i] == '-') ++i;
        while (i < s.size() && ((s[i] >= '0' && s[i] <= '9') || s[i] == '.' || s[i] == 'e' ||
                                s[i] == 'E' || s[i] == '+' || s[i] == '-'))
            ++i;
        return i > start && i < s.size();
    }

    bool skip_value(int depth) {
        if (depth > 64) return false;  // nesting that deep is damage, not a record
        std::string scratch;
        if (peek('"')) return string(scratch);
        if (take('{')) {
            if (take('}')) return true;
            do {
                if (!string(scratch) || !take(':') || !skip_value(depth + 1)) return false;
            } while (take(','));
            return take('}');
        }
        if (take('[')) {
            if (take(']')) return true;
            do {
                if (!skip_value(depth + 1)) return false;
            } while (take(','));
            return take(']');
        }
        if (literal("true") || literal("false") || literal("null")) return true;
        return skip_number();
    }

    // A string field: null leaves it as it was, as the validating decoder does.
    bool string_field(std::string& out) {
        if (literal("null")) return true;
        std::string value;
        if (!string(value)) return false;
        out = std::move(value);
        return true;
    }
    bool bool_field(bool& out) {
        if (literal("null")) return true;
        if (literal("true")) out = true;
        else if (literal("false")) out = false;
        else return false;
        return true;
    }
    bool integer_field(int64_t& out) {
        if (literal("null")) return true;
        return integer(out);
    }

    // Calls on_member(key) positioned at each member's value; false at the first damage.
    template <class F>
    bool object(F&& on_member) {
        if (!take('{')) return false;
        if (take('}')) return true;
        std::string key;
        do {
            if (!string(key) || !take(':') || !on_member(key)) return false;
        } while (take(','));
        return take('}');
    }
};

void decode_damaged(std::string_view bytes, Install_Record& r) {
    Reader in{bytes};
    in.object([&](const std::string& key) {
        if (key == "version") return in.string_field(r.version);
        if (key == "channel") return in.string_field(r.channel);
        if (key == "files") {
            if (in.literal("null")) return true;
            if (!in.take('[')) return false;
            if (in.take(']')) return true;
            do {
                Installed_File f;
                bool complete = in.object([&](const std::string& k) {
                    if (k == "path") return in.string_field(f.path);
                    if (k == "size") return in.integer_field(f.size);
                    if (k == "sha256") return in.string_field(f.sha256);
                    if (k == "mtime") return in.integer_field(f.mtime);
                    if (k == "exec") return in.bool_field(f.exec);
                    return in.skip_value(0);
                });
                if (!complete) return false;
                r.files.push_back(std::move(f));
            } while (in.take(','));
            return in.take(']');
        }
        if (key == "links") {
            if (in.literal("null")) return true;
            if (!in.take('[')) return false;
            if (in.take(']')) return true;
            do {
                backend::Release_Link l;
                bool complete = in.object([&](const std::string& k) {
                    if (k == "path") return in.string_field(l.path);
                    if (k == "target") return in.string_field(l.target);
                    return in.skip_value(0);
                });
                if (!complete) return false;
                r.links.push_back(std::move(l));
            } while (in.take(','));
            return in.take(']');
        }
        return in.skip_value(0);
    });
}

void put_line(std::string& out, int indent, std::string_view key) {
    out.append(size_t(indent), '\t');
    json::write_json_string(out, key);
    out += ": ";
}

// After "files": nothing when there are no links, so such a record reads as it always did.
void put_links(std::string& out, const std::vector<backend::Release_Link>& links) {
    if (links.empty()) return;
    out += ",\n";
    put_line(out, 1, "links");
    out += "[\n";
    for (size_t i = 0; i < links.size(); ++i) {
        out += "\t\t{\n";
        put_line(out, 3, "path");
        json::write_json_string(out, links[i].path);
        out += ",\n";
        put_line(out, 3, "target");
        json::write_json_string(out, links[i].target);
        out += i + 1 < links.size() ? "\n\t\t},\n" : "\n\t\t}\n";
    }
    out += "\t]";
}

}  // namespace

Install_Record install_decode(std::string_view bytes) {
    Install_Record r;
    json::Value root;
    if (json::parse(bytes, root)) decode_dom(root, r);
    else decode_damaged(bytes, r);
    return r;
}

Install_Record install_load(std::string_view dir) {
    std::string bytes;
    if (!platform::read_file(platform::join_path(dir, record_name), bytes)) return Install_Record{};
    return install_decode(bytes);
}

Install_Record install_record_for(std::string_view dir, const backend::Release_Manifest& m) {
    Install_Record r;
    r.version = m.version;
    r.channel = m.channel;
    r.files.reserve(m.files.size());
    for (const backend::Release_File& f : m.files) {
        platform::File_Status st;
        if (!platform::file_status(platform::join_path(dir, f.path), st)) continue;
        r.files.push_back(Installed_File{f.path, st.size, f.sha256, st.mtime_ns, f.exec});
    }
    r.links = installed_links(dir, m);
    return r;
}

std::string install_encode(const Install_Record& r) {
    std::string out;
    out.reserve(64 + r.files.size() * 160);
    out += "{\n";
    put_line(out, 1, "version");
    json::write_json_string(out, r.version);
    out += ",\n";
    put_line(out, 1, "channel");
    json::write_json_string(out, r.channel);
    out += ",\n";
    if (!r.sequences.empty()) {
        put_line(out, 1, "sequences");
        out += "{";
        for (auto it = r.sequences.begin(); it != r.sequences.end(); ++it) {
            out += it == r.sequences.begin() ? "\n" : ",\n";
            put_line(out, 2, it->first);
            out += std::to_string(it->second);
        }
        out += "\n\t},\n";
    }
    put_line(out, 1, "files");
    if (r.files.empty()) {
        out += "[]";
        put_links(out, r.links);
        out += "\n}\n";
        return out;
    }
    out += "[\n";
    for (size_t i = 0; i < r.files.size(); ++i) {
        const Installed_File& f = r.files[i];
        out += "\t\t{\n";
        put_line(out, 3, "path");
        json::write_json_string(out, f.path);
        out += ",\n";
        put_line(out, 3, "size");
        out += std::to_string(f.size);
        out += ",\n";
        put_line(out, 3, "sha256");
        json::write_json_string(out, f.sha256);
        out += ",\n";
        put_line(out, 3, "mtime");
        out += std::to_string(f.mtime);
        if (f.exec) {
            out += ",\n";
            put_line(out, 3, "exec");
            out += "true";
        }
        out += i + 1 < r.files.size() ? "\n\t\t},\n" : "\n\t\t}\n";
    }
    out += "\t]";
    put_links(out, r.links);
    out += "\n}\n";
    return out;
}

void install_keep_sequences(Install_Record& r, const Install_Record& old, const backend::Release_Manifest& m) {
    r.sequences = old.sequences;
    if (m.sequence <= 0) return;
    int64_t& highest = r.sequences[m.channel];
    highest = std::max(highest, m.sequence);
}

bool install_write(std::string_view dir, const backend::Release_Manifest& m) {
    Install_Record r = install_record_for(dir, m);
    install_keep_sequences(r, install_load(dir), m);
    return install_write_record(dir, r);
}

bool install_write_record(std::string_view dir, const Install_Record& r) {
    return platform::write_file_atomic(platform::join_path(dir, record_name), install_encode(r));
}

}  // namespace launcher
