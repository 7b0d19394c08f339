// JSON in and out, with the launcher's rules.
//
// Decoding: the whole text must be valid JSON (simdjson's validating DOM parser); a record is
// then filled member by member: members are matched to fields by exact name, unknown members are
// skipped, absent members leave their field as it was (zero), and a member of the wrong type is a
// decoding error. A JSON null leaves the field as it was.
//
// Encoding is our own: compact, with the escaping rules of write_json_string.
#pragma once
#include <simdjson.h>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace json {

using Value = simdjson::dom::element;

// Parses `text` with a parser of the calling thread. The Value stays valid until the next
// parse on the same thread. False when the text is not valid JSON.
bool parse(std::string_view text, Value& out);

bool get(Value v, std::string& out);
bool get(Value v, int64_t& out);
bool get(Value v, bool& out);

// Calls on_member(key, value) for each member of the object `v`; stops at the first false.
// False when `v` is not an object or a callback failed.
template <class F>
bool members(Value v, F&& on_member) {
    simdjson::dom::object object;
    if (v.get(object) != simdjson::SUCCESS) return false;
    for (auto field : object)
        if (!on_member(field.key, field.value)) return false;
    return true;
}

// Calls on_element(value) for each element of the array `v`; a null counts as an empty array.
template <class F>
bool elements(Value v, F&& on_element) {
    if (v.is_null()) return true;
    simdjson::dom::array array;
    if (v.get(array) != simdjson::SUCCESS) return false;
    for (auto element : array)
        if (!on_element(element)) return false;
    return true;
}

// Appends `s` as a JSON string literal: \t \n \r \" \\ escaped, other bytes below 32 as \u00xx,
// every other byte (UTF-8 included) as it is.
void write_json_string(std::string& out, std::string_view s);

// A compact JSON object from key, value, key, value...; an odd last string is ignored.
std::string json_body(std::initializer_list<std::string_view> pairs);

// The text with a backslash before every '"' and '\', bytes below 32 dropped, the rest kept.
std::string json_escape(std::string_view s);

}  // namespace json
