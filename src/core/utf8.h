#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvane {

// UTF-8 well-formedness, for text that must stay readable as a string: error messages quote
// file paths and file contents, which may be any bytes.
class Utf8 {
 public:
  // Length of the well-formed UTF-8 character at the start of `s` (n > 0 bytes), or 0 when
  // the bytes there are not one: no overlong forms, no surrogates, nothing past U+10FFFF.
  static std::size_t char_length(const unsigned char* s, std::size_t n);

  // Whether all of `text` is well-formed UTF-8.
  static bool is_valid(std::string_view text);

  // `text` with every byte that is not part of a well-formed character replaced by U+FFFD.
  static std::string repair(std::string_view text);

  // Appends `text` to `out` with each maximal ill-formed subsequence replaced by one U+FFFD:
  // a lead byte and the continuation bytes that could still have completed it count as one
  // error, as in Python's errors="replace" and Rust's String::from_utf8_lossy.
  static void append_lossy(std::string_view text, std::string& out);

  // Appends code point `cp` (at most U+10FFFF) to `out` as UTF-8.
  static void append(std::string& out, char32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      const char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
      out.append(b, 2);
    } else if (cp < 0x10000) {
      const char b[3] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                         static_cast<char>(0x80 | (cp & 0x3F))};
      out.append(b, 3);
    } else {
      const char b[4] = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                         static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
      out.append(b, 4);
    }
  }
};

}  // namespace corvane
