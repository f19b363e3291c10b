#include "pre_tokenizers/hf/gpt2_splitter.h"

#include <cstdint>

#include "core/unicode.h"
#include "pre_tokenizers/scanner_char_classes.h"

namespace corvane::hf {

namespace {

enum Class : uint8_t { kOther, kLetter, kNumber, kSpace };

struct AsciiClasses {
  Class c[128];
  constexpr AsciiClasses() : c() {
    for (int i = 0; i < 128; ++i) {
      Class k = kOther;
      if ((i >= 'a' && i <= 'z') || (i >= 'A' && i <= 'Z')) k = kLetter;
      if (i >= '0' && i <= '9') k = kNumber;
      if (i == ' ' || (i >= 0x09 && i <= 0x0D)) k = kSpace;
      c[i] = k;
    }
  }
};
constexpr AsciiClasses kAscii;

// Class of the character at s[i] and its length in bytes.
inline Class class_at(const unsigned char* s, std::size_t i, std::size_t& len) {
  const unsigned char b0 = s[i];
  if (b0 < 0x80) {
    len = 1;
    return kAscii.c[b0];
  }
  char32_t cp;
  if (b0 < 0xE0) {
    cp = ((b0 & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
    len = 2;
  } else if (b0 < 0xF0) {
    cp = ((b0 & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
    len = 3;
  } else {
    cp = ((b0 & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3Fu);
    len = 4;
  }
  if (unicode::is_white_space(cp)) return kSpace;
  const unicode::Category c = unicode::category(cp);
  if ((unicode::kLetter >> c) & 1u) return kLetter;
  if ((unicode::kNumber >> c) & 1u) return kNumber;
  return kOther;
}

// End of the run of characters of class `cls` that starts at `i`.
inline std::size_t run_end(const unsigned char* s, std::size_t i, std::size_t n, Class cls) {
  while (i < n) {
    if (s[i] < 0x80) {
      if (kAscii.c[s[i]] != cls) break;
      ++i;
      continue;
    }
    std::size_t len;
    if (class_at(s, i, len) != cls) break;
    i += len;
  }
  return i;
}

}  // namespace

void gpt2_segments(std::string_view text, std::vector<Segment>& out) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    std::size_t end;
    std::size_t len;
    const Class cls = class_at(s, i, len);
    std::size_t next_len = 0;
    Class next = kSpace;
    if (s[i] == '\'' && (end = scan::contraction_cased(s, i, n)) != 0) {
      end += i;
    } else if (s[i] == ' ' && i + 1 < n && (next = class_at(s, i + 1, next_len)) != kSpace) {
      // The space joins the word, number or run of other characters behind it.
      end = run_end(s, i + 1 + next_len, n, next);
    } else if (cls != kSpace) {
      end = run_end(s, i + len, n, cls);
    } else {
      // \s+(?!\S) gives up its last character when something else follows; a single
      // character left alone is \s+.
      std::size_t last = i;
      std::size_t k = i;
      while (k < n) {
        std::size_t l;
        if (class_at(s, k, l) != kSpace) break;
        last = k;
        k += l;
      }
      end = (k == n || last == i) ? k : last;
    }
    out.push_back(Segment{i, end, true});
    i = end;
  }
}

}  // namespace corvane::hf
