#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/utf8.h"

namespace corvane::token_text {

// Character-level helpers of the decoders, which work on Unicode characters the way the
// peer's string functions do.

// Stands for a byte that begins no well-formed character: it equals no real character.
constexpr char32_t kNotAChar = 0xFFFFFFFF;

// The character at `s[i]` (i < s.size()) and its length in bytes; a byte that begins no
// well-formed character is kNotAChar of length 1.
inline char32_t char_at(std::string_view s, std::size_t i, std::size_t& len) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + i;
  const unsigned char c = p[0];
  if (c < 0x80) {
    len = 1;
    return c;
  }
  len = Utf8::char_length(p, s.size() - i);
  if (len == 0) {
    len = 1;
    return kNotAChar;
  }
  if (len == 2) return (static_cast<char32_t>(c & 0x1F) << 6) | (p[1] & 0x3F);
  if (len == 3) return (static_cast<char32_t>(c & 0x0F) << 12) | (static_cast<char32_t>(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
  return (static_cast<char32_t>(c & 0x07) << 18) | (static_cast<char32_t>(p[1] & 0x3F) << 12) |
         (static_cast<char32_t>(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
}

// Appends the UTF-8 form of code point `cp` (at most U+10FFFF) to `out`.
void append_char(std::string& out, char32_t cp);

// Replaces every non-overlapping occurrence of a fixed string `from`, leftmost first, by
// `to`. An empty `from` occurs at every character boundary, both ends included
// ("ab" -> "XaXbX"), as the peer's str::replace has it. Linear in the text whatever the two
// strings hold; built once per configuration.
class LiteralReplacer {
 public:
  LiteralReplacer(std::string from, std::string to);

  const std::string& from() const { return from_; }
  const std::string& to() const { return to_; }

  std::string apply(std::string_view s) const;

 private:
  // First occurrence of from_ at or after `start`, or npos.
  std::size_t find(std::string_view s, std::size_t start) const;

  std::string from_, to_;
  std::vector<std::size_t> fail_;  // Knuth-Morris-Pratt table of a long `from_`
};

}  // namespace corvane::token_text
