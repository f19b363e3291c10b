#pragma once

// Straightforward loaders for the three file formats, for differential fuzzing only. They
// read from memory and fill ordered maps; failures throw the same exception types with the
// same messages as the engine's loaders (file-open failures aside, which a memory buffer
// cannot have).

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "reference_merge.h"

namespace fuzzref {

// ---- tiktoken rank file ----------------------------------------------------------------

// Standard base64, stopping at the first byte outside the alphabet; leftover bits dropped.
inline std::string base64_decode(std::string_view s) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : s) {
    const std::size_t v = alphabet.find(c);
    if (v == std::string::npos || c == '\0') break;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  return out;
}

inline Model load_tiktoken(std::string_view data) {
  Model m;
  m.rule = Rule::kJoinedToken;
  std::size_t start = 0;
  while (start < data.size()) {
    std::size_t nl = data.find('\n', start);
    if (nl == std::string_view::npos) nl = data.size();
    const std::string line(data.substr(start, nl - start));
    start = nl + 1;
    if (line.empty()) continue;
    const std::size_t sp = line.rfind(' ');
    if (sp == std::string::npos) continue;
    // std::stoi reads through a C string: a NUL byte ends the field like any non-digit.
    const int32_t rank = std::stoi(line.substr(sp + 1));
    m.assign(base64_decode(line.substr(0, sp)), rank);
  }
  if (m.vocab.empty()) throw std::runtime_error("tiktoken file loaded but vocab is empty.");
  return m;
}

// ---- vocab.txt ---------------------------------------------------------------------------

struct WordPieceModel {
  TokenToId vocab;
  IdToToken id_to_token;
};

inline WordPieceModel load_vocab_txt(std::string_view data, const std::string& path) {
  WordPieceModel m;
  int64_t id = 0;
  std::size_t start = 0;
  while (start < data.size()) {
    std::size_t nl = data.find('\n', start);
    if (nl == std::string_view::npos) nl = data.size();
    const std::string line(data.substr(start, nl - start));
    start = nl + 1;
    if (!line.empty()) {
      m.vocab[line] = static_cast<int32_t>(id);
      m.id_to_token[static_cast<int32_t>(id)] = line;
    }
    ++id;
  }
  if (m.vocab.empty()) throw std::runtime_error("vocab.txt is empty: " + path);
  return m;
}

// ---- tokenizer.json ------------------------------------------------------------------------

using json = nlohmann::json;

// U+FFFD for every byte that does not start a well-formed UTF-8 character, so that a
// message quoting the input stays readable.
inline std::string repair_utf8(std::string_view s) {
  std::string out;
  std::size_t i = 0;
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  while (i < s.size()) {
    const unsigned char c = byte(i);
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c < 0x80) len = 1;
    else if (c >= 0xC2 && c <= 0xDF) len = 2;
    else if (c == 0xE0) { len = 3; lo = 0xA0; }
    else if (c == 0xED) { len = 3; hi = 0x9F; }
    else if (c >= 0xE1 && c <= 0xEF) len = 3;
    else if (c == 0xF0) { len = 4; lo = 0x90; }
    else if (c >= 0xF1 && c <= 0xF3) len = 4;
    else if (c == 0xF4) { len = 4; hi = 0x8F; }
    bool ok = len > 0 && i + len <= s.size();
    for (std::size_t k = 1; ok && k < len; ++k) {
      const unsigned char b = byte(i + k);
      ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
    }
    if (ok) {
      out.append(s.substr(i, len));
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

// GPT-2's byte-to-character table: the printable bytes stand for themselves, the other 68
// bytes stand as U+0100, U+0101, ... in byte order.
inline std::map<char32_t, unsigned char> byte_level_table() {
  std::map<char32_t, unsigned char> t;
  char32_t next = 0x100;
  for (unsigned b = 0; b < 256; ++b) {
    const bool itself = (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || (b >= 0xAE && b <= 0xFF);
    t[itself ? static_cast<char32_t>(b) : next++] = static_cast<unsigned char>(b);
  }
  return t;
}

inline std::string utf8_of(char32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

// The raw bytes a byte-level string stands for. The library only hands out well-formed
// UTF-8; each character is decoded and replaced by its byte when it is one of the 256
// stand-ins, and kept as it is otherwise.
inline std::string byte_level_to_bytes(const std::string& s) {
  static const std::map<char32_t, unsigned char> table = byte_level_table();
  std::string out;
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t k = 1; k < len && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    const auto it = table.find(cp);
    if (it != table.end() && cp >= 0x80) {
      out += static_cast<char>(it->second);
    } else {
      out += s.substr(i, len);
    }
    i += len;
  }
  return out;
}

// Whether every character of `s` is one of the 256 byte stand-ins.
inline bool all_stand_ins(const std::string& s) {
  static const std::map<char32_t, unsigned char> table = byte_level_table();
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t k = 1; k < len && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    if (table.find(cp) == table.end()) return false;
    i += len;
  }
  return true;
}

inline const json* member(const json& v, const char* key) {
  if (!v.is_object()) return nullptr;
  const auto it = v.find(key);
  return it == v.end() ? nullptr : &*it;
}

// A "ByteLevel" component, or a "Sequence" whose `list_key` list holds one at any depth
// (walked with an explicit list, since documents may nest deeply).
inline bool byte_level_component(const json* top, const char* list_key) {
  std::vector<const json*> todo;
  if (top) todo.push_back(top);
  while (!todo.empty()) {
    const json* c = todo.back();
    todo.pop_back();
    const json* type = member(*c, "type");
    if (!type || !type->is_string()) continue;
    if (*type == "ByteLevel") return true;
    if (*type != "Sequence") continue;
    const json* list = member(*c, list_key);
    if (!list || !list->is_array()) continue;
    for (const json& item : *list) todo.push_back(&item);
  }
  return false;
}

// A vocabulary value as an id: an integer's low 32 bits, a float truncated toward zero (at
// the limits beyond the 32-bit range), true and false as 1 and 0; anything else fails with
// the library's own conversion error.
inline int32_t to_id(const json& v) {
  if (v.is_number_unsigned()) return static_cast<int32_t>(v.get<uint64_t>());
  if (v.is_number_integer()) return static_cast<int32_t>(v.get<int64_t>());
  if (v.is_number_float()) {
    const double d = std::trunc(v.get<double>());
    if (d <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    if (d >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(d);
  }
  if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
  return v.get<int32_t>();  // throws type_error 302
}

inline Model load_tokenizer_json(std::string_view data) {
  Model m;
  m.rule = Rule::kMergeList;
  json doc;
  {
    std::istringstream in{std::string(data)};
    try {
      in >> doc;  // the first JSON value; whatever follows is not looked at
    } catch (const std::exception& e) {
      throw std::runtime_error("JSON parse error: " + repair_utf8(e.what()));
    }
  }
  const json* model = member(doc, "model");
  if (model && model->is_object()) {
    const bool byte_level = byte_level_component(member(doc, "pre_tokenizer"), "pretokenizers") ||
                            byte_level_component(member(doc, "decoder"), "decoders");
    // A token with a character outside the byte alphabet is kept whole.
    auto text = [&](const std::string& s) {
      if (!byte_level) return s;
      const std::string bytes = byte_level_to_bytes(s);
      return all_stand_ins(s) ? bytes : s;
    };
    if (const json* type = member(*model, "type"); type && type->is_string() && *type != "BPE") {
      throw std::runtime_error("tokenizer.json model type is not BPE: " + repair_utf8(type->get<std::string>()));
    }
    if (const json* vocab = member(*model, "vocab")) {
      for (const auto& item : vocab->items()) {
        const int32_t id = to_id(item.value());
        m.assign(text(item.key()), id);
      }
    }
    if (const json* merges = member(*model, "merges")) {
      int32_t position = 0;
      for (const json& e : *merges) {
        if (e.is_array() && e.size() == 2 && e[0].is_string() && e[1].is_string()) {
          m.merges[{text(e[0].get<std::string>()), text(e[1].get<std::string>())}] = position++;
          continue;
        }
        const std::string s = e.get<std::string>();  // throws type_error 302
        const std::size_t sp = s.find(' ');
        if (sp != std::string::npos) m.merges[{text(s.substr(0, sp)), text(s.substr(sp + 1))}] = position;
        ++position;
      }
    }
  }
  if (m.vocab.empty()) throw std::runtime_error("tokenizer.json loaded but vocab is empty.");
  return m;
}

}  // namespace fuzzref
