#include "pre_tokenizers/hf/char_classes.h"

#include <unicode/uniset.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvane::hf {

namespace {

// One bit per code point and class, built once from our Unicode tables and ICU's property
// sets.
class Tables {
 public:
  Tables() : numeric_(kWords), punct_(kWords), word_(kWords) {
    using namespace unicode;
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
      const Category c = category(cp);
      if ((kNumber >> c) & 1u) set(numeric_, cp);
      if (((kLetter | kMark) >> c) & 1u || c == Nd || c == Nl || c == Pc) set(word_, cp);
    }
    // The numbers Unicode 17.0 adds, which the Rust standard library knows and our 16.0
    // tables do not: U+11DE0..U+11DE9 (the Tolong Siki digits) and U+16FF4..U+16FF6.
    for (char32_t cp = 0x11DE0; cp <= 0x11DE9; ++cp) set(numeric_, cp);
    for (char32_t cp = 0x16FF4; cp <= 0x16FF6; ++cp) set(numeric_, cp);
    // Join_Control.
    set(word_, 0x200C);
    set(word_, 0x200D);
    // Alphabetic characters outside the letter, letter-number and mark categories (the
    // circled and squared Latin letters): ICU's Other_Alphabetic data.
    for_each(set_of("[[:Alphabetic:]-[:L:]-[:Nl:]-[:M:]]"), [&](char32_t cp) { set(word_, cp); });
    // The punctuation categories of Unicode 8.0, the data of the `unicode_categories`
    // crate: the characters assigned by then whose category is punctuation today, and the
    // two whose category has changed since (U+111C9 SHARADA SANDHI MARK, now Mn; U+166D
    // CANADIAN SYLLABICS CHI SIGN, now So).
    for_each(set_of("[[:P:]&[:Age=8.0:]]"), [&](char32_t cp) { set(punct_, cp); });
    set(punct_, 0x111C9);
    set(punct_, 0x166D);
    for (char32_t cp = 0; cp < 0x80; ++cp) {
      if ((cp >= '!' && cp <= '/') || (cp >= ':' && cp <= '@') || (cp >= '[' && cp <= '`') ||
          (cp >= '{' && cp <= '~')) {
        set(punct_, cp);
      }
    }
  }

  static bool test(const std::vector<uint64_t>& bits, char32_t cp) {
    return cp <= 0x10FFFF && ((bits[cp >> 6] >> (cp & 63)) & 1u);
  }

  std::vector<uint64_t> numeric_, punct_, word_;

 private:
  static constexpr std::size_t kWords = 0x110000 / 64;

  static void set(std::vector<uint64_t>& bits, char32_t cp) { bits[cp >> 6] |= uint64_t{1} << (cp & 63); }

  static icu::UnicodeSet set_of(const char* pattern) {
    UErrorCode err = U_ZERO_ERROR;
    icu::UnicodeSet s(icu::UnicodeString(pattern, -1, US_INV), err);
    if (U_FAILURE(err)) throw std::runtime_error(std::string("ICU property set failed: ") + pattern);
    return s;
  }

  template <class Fn>
  static void for_each(const icu::UnicodeSet& s, Fn&& fn) {
    for (int32_t r = 0; r < s.getRangeCount(); ++r) {
      for (UChar32 c = s.getRangeStart(r); c <= s.getRangeEnd(r); ++c) fn(static_cast<char32_t>(c));
    }
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

}  // namespace

bool is_numeric(char32_t cp) {
  if (cp < 0x80) return cp >= '0' && cp <= '9';
  return Tables::test(tables().numeric_, cp);
}

bool is_punctuation(char32_t cp) { return Tables::test(tables().punct_, cp); }

bool is_word(char32_t cp) {
  if (cp < 0x80) return (cp >= '0' && cp <= '9') || (cp >= 'A' && cp <= 'Z') || (cp >= 'a' && cp <= 'z') || cp == '_';
  return Tables::test(tables().word_, cp);
}

}  // namespace corvane::hf
