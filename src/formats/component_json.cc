#include "formats/component_json.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "core/utf8.h"

namespace corvane {

using json = nlohmann::json;

namespace {

std::string in_quotes(std::string_view s) { return "\"" + Utf8::repair(s) + "\""; }

}  // namespace

ComponentJson::ComponentJson(const json& value, std::string_view what, std::string_view path) : value_(value) {
  const std::string where = std::string(what) + (path.empty() ? "" : " " + std::string(path));
  if (!value.is_object()) throw std::invalid_argument(where + ": expected a JSON object, got " + value.type_name());
  const auto it = value.find("type");
  if (it == value.end()) throw std::invalid_argument(where + ": missing field \"type\"");
  if (!it->is_string()) throw std::invalid_argument(where + ": field \"type\" must be a string");
  type_ = it->get<std::string>();
  name_ = path.empty() ? std::string(what) + " " + type_ : where + " (" + type_ + ")";
}

void ComponentJson::fail(const std::string& message) const { throw std::invalid_argument(name_ + ": " + message); }

void ComponentJson::allow_only(std::initializer_list<std::string_view> allowed) const {
  for (const auto& [key, v] : value_.items()) {
    if (key == "type") continue;
    bool ok = false;
    for (std::string_view a : allowed) ok = ok || key == a;
    if (!ok) fail("unsupported option " + in_quotes(key));
  }
}

bool ComponentJson::has(std::string_view key) const { return value_.find(key) != value_.end(); }

const json& ComponentJson::get(std::string_view key) const {
  const auto it = value_.find(key);
  if (it == value_.end()) fail("missing field " + in_quotes(key));
  return *it;
}

bool ComponentJson::as_boolean(const json& v, std::string_view where) const {
  if (!v.is_boolean()) fail(std::string(where) + " must be true or false");
  return v.get<bool>();
}

uint64_t ComponentJson::as_unsigned(const json& v, std::string_view where, uint64_t max) const {
  if (!v.is_number_unsigned() && !(v.is_number_integer() && v.get<int64_t>() >= 0)) {
    fail(std::string(where) + " must be a non-negative integer");
  }
  const uint64_t n = v.get<uint64_t>();
  if (n > max) fail(std::string(where) + " must be at most " + std::to_string(max));
  return n;
}

std::string ComponentJson::as_string(const json& v, std::string_view where) const {
  if (!v.is_string()) fail(std::string(where) + " must be a string");
  return v.get<std::string>();
}

bool ComponentJson::boolean(std::string_view key) const { return as_boolean(get(key), "field " + in_quotes(key)); }

uint64_t ComponentJson::unsigned_integer(std::string_view key, uint64_t max) const {
  return as_unsigned(get(key), "field " + in_quotes(key), max);
}

std::string ComponentJson::string(std::string_view key) const { return as_string(get(key), "field " + in_quotes(key)); }

char32_t ComponentJson::character(std::string_view key) const {
  const std::string s = string(key);
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t len = s.empty() ? 0 : Utf8::char_length(p, s.size());
  if (len == 0 || len != s.size()) fail("field " + in_quotes(key) + " must be a single character");
  char32_t cp = p[0];
  if (len == 2) cp = ((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu);
  if (len == 3) cp = ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
  if (len == 4) cp = ((p[0] & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
  return cp;
}

json parse_component_json(std::string_view text, std::string_view what) {
  try {
    return json::parse(text.begin(), text.end());
  } catch (const json::exception& e) {
    throw std::invalid_argument("invalid " + std::string(what) + " JSON: " + e.what());
  }
}

}  // namespace corvane
