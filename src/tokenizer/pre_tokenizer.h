#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvane {

// Cuts text into the pre-tokens that byte-pair merging works inside.
//
// The rules are those of the GPT-2 pattern
//   's|'t|'re|'ve|'m|'ll|'d| ?[A-Za-z]+| ?[0-9]+| ?[^\s\w]+|\s+(?!\S)|\s+
// read over bytes, with ASCII-only classes, and with the underscore treated as an ordinary
// "other" byte (so that no byte of the input is ever lost). Tried in order at each position,
// first match wins:
//   1. an apostrophe followed by s, t, re, ve, m, ll or d;
//   2. an optional space, then a run of ASCII letters;
//   3. an optional space, then a run of ASCII digits;
//   4. an optional space, then a run of other bytes (not whitespace, letter or digit);
//   5. a run of whitespace reaching the end of the text, or all but the last byte of a run
//      that is followed by something else; a lone whitespace byte otherwise.
// Whitespace is the six ASCII bytes \t \n \v \f \r and space; bytes from 0x80 up are
// "other" bytes. A hand-written single forward pass: linear time, constant stack, any
// run length.
class PreTokenizer {
 public:
  enum ByteClass : uint8_t { kOther = 0, kLetter = 1, kDigit = 2, kSpace = 3 };

  static ByteClass class_of(unsigned char c) { return static_cast<ByteClass>(kClasses[c]); }

  // Length of the pre-token that starts at `pos` (pos < text.size()); always >= 1.
  static inline std::size_t next_length(std::string_view text, std::size_t pos);

  // Calls emit(std::string_view piece) for each pre-token, in text order. Together the
  // pieces cover `text` exactly.
  template <class Emit>
  static void split(std::string_view text, Emit&& emit) {
    std::size_t pos = 0;
    const std::size_t n = text.size();
    while (pos < n) {
      const std::size_t len = next_length(text, pos);
      emit(text.substr(pos, len));
      pos += len;
    }
  }

 private:
  // Length of the contraction suffix ('s, 't, 're, 've, 'm, 'll, 'd) at p, or 0.
  static std::size_t contraction_length(const unsigned char* p, std::size_t avail) {
    if (avail < 2) return 0;
    switch (p[1]) {
      case 's':
      case 't':
      case 'm':
      case 'd':
        return 2;
      case 'r':
      case 'v':
        return (avail >= 3 && p[2] == 'e') ? 3 : 0;
      case 'l':
        return (avail >= 3 && p[2] == 'l') ? 3 : 0;
      default:
        return 0;
    }
  }

  static const uint8_t kClasses[256];
};

inline std::size_t PreTokenizer::next_length(std::string_view text, std::size_t pos) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  const unsigned char c = s[pos];

  if (c == '\'') {
    const std::size_t k = contraction_length(s + pos, n - pos);
    if (k) return k;
  }

  uint8_t cls = kClasses[c];
  std::size_t i = pos;
  if (c == ' ' && pos + 1 < n && kClasses[s[pos + 1]] != kSpace) {
    // A single space joins the word, number or run of other bytes behind it.
    ++i;
    cls = kClasses[s[i]];
  }
  if (cls != kSpace) {
    ++i;
    while (i < n && kClasses[s[i]] == cls) ++i;
    return i - pos;
  }

  // Whitespace run [pos, j).
  std::size_t j = pos + 1;
  while (j < n && kClasses[s[j]] == kSpace) ++j;
  if (j == n) return j - pos;            // reaches the end of the text
  if (j - pos >= 2) return j - pos - 1;  // leave the last byte to what follows
  return 1;
}

}  // namespace corvane
