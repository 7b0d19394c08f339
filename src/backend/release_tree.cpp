// Symbolic links in a release: the rule a link's target follows, the checks that keep every
// write of an install away from links, and the "links" member's JSON.
#include "backend/release_tree.h"

#include <unordered_set>

namespace backend {

bool release_link_ok(std::string_view path, std::string_view target) {
    if (!release_path_ok(path) || target.empty() || target.front() == '/') return false;
    // The folders above the link: the most ".." may climb from where the link sits.
    size_t depth = 0;
    for (char c : path) depth += c == '/';
    size_t ups = 0;
    bool named = false;  // an ordinary segment came: from here on ".." could climb out of a
                         // folder that is itself a link, so it is refused
    size_t start = 0;
    while (start <= target.size()) {
        size_t end = target.find('/', start);
        if (end == std::string_view::npos) end = target.size();
        std::string_view segment = target.substr(start, end - start);
        if (segment == "..") {
            if (named || ++ups > depth) return false;
        } else {
            // The characters and segments release_path_ok allows.
            if (!release_path_ok(segment)) return false;
            named = true;
        }
        start = end + 1;
    }
    return true;
}

bool release_tree_ok(const Release_Manifest& m) {
    if (m.links.empty()) return true;  // a release without links is checked as it always was
    std::unordered_set<std::string_view> links;
    for (const Release_Link& l : m.links)
        if (!release_link_ok(l.path, l.target) || !links.insert(l.path).second) return false;
    // Nothing may be installed at a link's name or below it: that write would go through it.
    auto below_a_link = [&](std::string_view path) {
        for (size_t at = path.find('/'); at != std::string_view::npos; at = path.find('/', at + 1))
            if (links.count(path.substr(0, at))) return true;
        return false;
    };
    for (const Release_File& f : m.files)
        if (links.count(f.path) || below_a_link(f.path)) return false;
    for (const Release_Link& l : m.links)
        if (below_a_link(l.path)) return false;
    return true;
}

bool decode_links(json::Value v, std::vector<Release_Link>& links) {
    return json::elements(v, [&](json::Value element) {
        Release_Link& l = links.emplace_back();
        return json::members(element, [&](std::string_view key, json::Value value) {
            if (key == "path") return json::get(value, l.path);
            if (key == "target") return json::get(value, l.target);
            return true;
        });
    });
}

void links_encode(std::string& out, const std::vector<Release_Link>& links) {
    if (links.empty()) return;
    out += ",\"links\":[";
    for (size_t i = 0; i < links.size(); ++i) {
        if (i) out += ',';
        out += "{\"path\":";
        json::write_json_string(out, links[i].path);
        out += ",\"target\":";
        json::write_json_string(out, links[i].target);
        out += '}';
    }
    out += ']';
}

}  // namespace backend
