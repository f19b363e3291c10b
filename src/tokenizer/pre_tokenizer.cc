#include "tokenizer/pre_tokenizer.h"

namespace corvane {

namespace {

constexpr uint8_t classify(unsigned c) {
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return PreTokenizer::kSpace;
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return PreTokenizer::kLetter;
  if (c >= '0' && c <= '9') return PreTokenizer::kDigit;
  return PreTokenizer::kOther;
}

struct ClassTable {
  uint8_t v[256];
  constexpr ClassTable() : v() {
    for (unsigned c = 0; c < 256; ++c) v[c] = classify(c);
  }
};

constexpr ClassTable kTable{};

// Length of the contraction suffix ('s, 't, 're, 've, 'm, 'll, 'd) at p, or 0.
inline std::size_t contraction_length(const unsigned char* p, std::size_t avail) {
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

}  // namespace

const uint8_t PreTokenizer::kClasses[256] = {
#define C(i) kTable.v[i]
#define R16(b) C(b), C(b + 1), C(b + 2), C(b + 3), C(b + 4), C(b + 5), C(b + 6), C(b + 7), \
               C(b + 8), C(b + 9), C(b + 10), C(b + 11), C(b + 12), C(b + 13), C(b + 14), C(b + 15)
    R16(0x00), R16(0x10), R16(0x20), R16(0x30), R16(0x40), R16(0x50), R16(0x60), R16(0x70),
    R16(0x80), R16(0x90), R16(0xA0), R16(0xB0), R16(0xC0), R16(0xD0), R16(0xE0), R16(0xF0),
#undef R16
#undef C
};

std::size_t PreTokenizer::next_length(std::string_view text, std::size_t pos) {
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
  if (j == n) return j - pos;      // reaches the end of the text
  if (j - pos >= 2) return j - pos - 1;  // leave the last byte to what follows
  return 1;
}

}  // namespace corvane
