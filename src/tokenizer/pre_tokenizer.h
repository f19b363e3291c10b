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
  static std::size_t next_length(std::string_view text, std::size_t pos);

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
  static const uint8_t kClasses[256];
};

}  // namespace corvane
