#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pre_tokenizers/scanner_char_classes.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
class AsciiGpt2Scanner {
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
      emit(std::string_view(text.data() + pos, len));
      pos += len;
    }
  }

 private:
  // End of the run of bytes of class `cls` that starts at or before `i` (s[i] is already
  // known to belong to it or i == n).
  static std::size_t run_end(const unsigned char* s, std::size_t i, std::size_t n, uint8_t cls) {
#if defined(__SSE2__)
    // Sixteen bytes at a time: classify them all, then the first byte of another class is
    // one count-trailing-zeros away instead of a loop whose exit the CPU cannot predict.
    while (i + 16 <= n) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      __m128i in;
      if (cls == kLetter) {
        // (b | 0x20) - 'a' < 26, as a signed comparison after shifting the range to -128.
        const __m128i x = _mm_add_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8(static_cast<char>(128 - 'a')));
        in = _mm_cmplt_epi8(x, _mm_set1_epi8(static_cast<char>(-128 + 26)));
      } else if (cls == kDigit) {
        const __m128i x = _mm_add_epi8(v, _mm_set1_epi8(static_cast<char>(128 - '0')));
        in = _mm_cmplt_epi8(x, _mm_set1_epi8(static_cast<char>(-128 + 10)));
      } else {
        const __m128i lx = _mm_add_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8(static_cast<char>(128 - 'a')));
        const __m128i letter = _mm_cmplt_epi8(lx, _mm_set1_epi8(static_cast<char>(-128 + 26)));
        const __m128i dx = _mm_add_epi8(v, _mm_set1_epi8(static_cast<char>(128 - '0')));
        const __m128i digit = _mm_cmplt_epi8(dx, _mm_set1_epi8(static_cast<char>(-128 + 10)));
        const __m128i wx = _mm_add_epi8(v, _mm_set1_epi8(static_cast<char>(128 - 0x09)));
        const __m128i ctl = _mm_cmplt_epi8(wx, _mm_set1_epi8(static_cast<char>(-128 + 5)));
        const __m128i space = _mm_or_si128(ctl, _mm_cmpeq_epi8(v, _mm_set1_epi8(' ')));
        const __m128i not_other = _mm_or_si128(_mm_or_si128(letter, digit), space);
        in = cls == kSpace ? space : _mm_xor_si128(not_other, _mm_set1_epi8(-1));
      }
      const unsigned out = ~static_cast<unsigned>(_mm_movemask_epi8(in)) & 0xFFFFu;
      if (out) return i + static_cast<std::size_t>(__builtin_ctz(out));
      i += 16;
    }
#endif
    while (i < n && kClasses[s[i]] == cls) ++i;
    return i;
  }

  static const uint8_t kClasses[256];
};

inline std::size_t AsciiGpt2Scanner::next_length(std::string_view text, std::size_t pos) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  const unsigned char c = s[pos];

  if (c == '\'') {
    const std::size_t k = scan::contraction_cased(s, pos, n);
    if (k) return k;
  }

  uint8_t cls = kClasses[c];
  std::size_t i = pos;
  if (c == ' ' && pos + 1 < n && kClasses[s[pos + 1]] != kSpace) {
    // A single space joins the word, number or run of other bytes behind it.
    ++i;
    cls = kClasses[s[i]];
  }
  if (cls != kSpace) return run_end(s, i + 1, n, cls) - pos;

  // Whitespace run [pos, j).
  const std::size_t j = run_end(s, pos + 1, n, kSpace);
  if (j == n) return j - pos;            // reaches the end of the text
  if (j - pos >= 2) return j - pos - 1;  // leave the last byte to what follows
  return 1;
}

}  // namespace corvane
