#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace corvane::scan {

// The character classes the public patterns are written in, one bit each, for the
// hand-written scanners of those patterns (r50k_scanner.h, cl100k_scanner.h,
// o200k_scanner.h). Every code point has a class byte: its letter kind or mark or number
// bit from its general category, the White_Space bit, and the newline bit for \r and \n.
// A code point is in at most one of L, N, M and S (White_Space is only ever Zs, Zl, Zp or
// Cc, never a letter, mark or number).
enum : uint8_t {
  kL = 1,            // \p{L}
  kN = 2,            // \p{N}
  kS = 4,            // \s (White_Space)
  kUpper = 8,        // \p{Lu} \p{Lt}
  kLower = 16,       // \p{Ll}
  kModOther = 32,    // \p{Lm} \p{Lo}
  kMark = 64,        // \p{M}
  kNewline = 128,    // \r \n
};

// o200k's two word classes: [\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}] and [\p{Ll}\p{Lm}\p{Lo}\p{M}].
// They share Lm, Lo and M.
inline constexpr uint8_t kUpperLike = kUpper | kModOther | kMark;
inline constexpr uint8_t kLowerLike = kLower | kModOther | kMark;
inline constexpr uint8_t kBothLike = kModOther | kMark;

// A decoded character: its class byte and its length in bytes.
struct Char {
  uint8_t cls;
  uint8_t len;
};

// Class bytes of U+0000..U+FFFF, filled once when the library loads; the rest of the code
// space goes through supplementary_class().
struct BmpClassTable {
  BmpClassTable();
  alignas(64) uint8_t v[0x10000];
};
extern const BmpClassTable kBmpClasses;

// Class byte of a code point above U+FFFF (out of line: such text is rare).
uint8_t supplementary_class(char32_t cp);

// The character at s[i] of well-formed UTF-8.
inline Char char_at(const unsigned char* s, std::size_t i) {
  const unsigned b0 = s[i];
  if (b0 < 0x80) return {kBmpClasses.v[b0], 1};
  if (b0 < 0xE0) {
    const unsigned cp = ((b0 & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
    return {kBmpClasses.v[cp], 2};
  }
  if (b0 < 0xF0) {
    const unsigned cp = ((b0 & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
    return {kBmpClasses.v[cp], 3};
  }
  const char32_t cp = ((b0 & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) |
                      ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3Fu);
  return {supplementary_class(cp), 4};
}

// Start of the character that ends at s[end - 1].
inline std::size_t last_char_start(const unsigned char* s, std::size_t end) {
  std::size_t i = end - 1;
  while ((s[i] & 0xC0u) == 0x80u) --i;
  return i;
}

// Does a class byte belong to a run: some bit of M set, or, when Neg, no bit of M set.
template <uint8_t M, bool Neg>
constexpr bool in_run(uint8_t cls) {
  return Neg ? (cls & M) == 0 : (cls & M) != 0;
}

#if defined(__SSE2__)
namespace detail {

// Bytes in [lo, lo + width), as a 0xFF/0x00 mask.
inline __m128i bytes_in(__m128i v, unsigned char lo, unsigned char width) {
  const __m128i x = _mm_add_epi8(v, _mm_set1_epi8(static_cast<char>(128 - lo)));
  return _mm_cmplt_epi8(x, _mm_set1_epi8(static_cast<char>(-128 + width)));
}

// The ASCII bytes whose class byte has some bit of M, as a mask (bytes from 0x80 up are
// never in it: their class needs the whole character).
template <uint8_t M>
inline __m128i ascii_with(__m128i v) {
  __m128i in = _mm_setzero_si128();
  if constexpr ((M & kL) != 0) {
    in = _mm_or_si128(in, bytes_in(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 26));
  } else {
    if constexpr ((M & kUpper) != 0) in = _mm_or_si128(in, bytes_in(v, 'A', 26));
    if constexpr ((M & kLower) != 0) in = _mm_or_si128(in, bytes_in(v, 'a', 26));
  }
  if constexpr ((M & kN) != 0) in = _mm_or_si128(in, bytes_in(v, '0', 10));
  if constexpr ((M & kS) != 0) {
    in = _mm_or_si128(in, bytes_in(v, 0x09, 5));
    in = _mm_or_si128(in, _mm_cmpeq_epi8(v, _mm_set1_epi8(' ')));
  } else if constexpr ((M & kNewline) != 0) {
    in = _mm_or_si128(in, _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
    in = _mm_or_si128(in, _mm_cmpeq_epi8(v, _mm_set1_epi8('\r')));
  }
  return in;
}

}  // namespace detail
#endif

// End of the run of characters that starts at s[i] and whose classes are in_run<M, Neg>
// (i itself is not checked again if the caller already has; i == n gives n). When Track
// is not zero, *last is set to the start of the last character of the run whose class has
// a bit of Track (only bits that no ASCII character has). Sixteen ASCII bytes at a time
// where SSE2 is there, so a word costs a few instructions rather than a loop whose exit
// the CPU cannot predict.
template <uint8_t M, bool Neg, uint8_t Track = 0>
inline std::size_t run_end(const unsigned char* s, std::size_t i, std::size_t n,
                           std::size_t* last = nullptr) {
  static_assert((Track & (kL | kN | kS | kUpper | kLower | kNewline)) == 0,
                "tracked classes must have no ASCII member");
  for (;;) {
#if defined(__SSE2__)
    while (i + 16 <= n) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      __m128i in = detail::ascii_with<M>(v);
      if constexpr (Neg) {
        const __m128i ascii = _mm_cmpgt_epi8(v, _mm_set1_epi8(-1));
        in = _mm_andnot_si128(in, ascii);
      }
      const unsigned out = ~static_cast<unsigned>(_mm_movemask_epi8(in)) & 0xFFFFu;
      if (out == 0) {
        i += 16;
        continue;
      }
      i += static_cast<std::size_t>(__builtin_ctz(out));
      break;
    }
#endif
    if (i >= n) return n;
    const unsigned b = s[i];
    if (b < 0x80) {
      if (!in_run<M, Neg>(kBmpClasses.v[b])) return i;
      ++i;
      continue;
    }
    const Char c = char_at(s, i);
    if (!in_run<M, Neg>(c.cls)) return i;
    if constexpr (Track != 0) {
      if (c.cls & Track) *last = i;
    }
    i += c.len;
  }
}

// End of the run of \r and \n bytes (and '/' when `slash`) from s[i].
inline std::size_t newline_run_end(const unsigned char* s, std::size_t i, std::size_t n,
                                   bool slash) {
  while (i < n && (s[i] == '\n' || s[i] == '\r' || (slash && s[i] == '/'))) ++i;
  return i;
}

// Length of `'s|'t|'re|'ve|'m|'ll|'d` at s[i] (0 when it does not match), as written: in
// lowercase only.
inline std::size_t contraction_cased(const unsigned char* s, std::size_t i, std::size_t n) {
  if (i + 1 >= n || s[i] != '\'') return 0;
  switch (s[i + 1]) {
    case 's':
    case 't':
    case 'm':
    case 'd':
      return 2;
    case 'r':
    case 'v':
      return i + 2 < n && s[i + 2] == 'e' ? 3 : 0;
    case 'l':
      return i + 2 < n && s[i + 2] == 'l' ? 3 : 0;
    default:
      return 0;
  }
}

// Length of `(?i:'s|'t|'re|'ve|'m|'ll|'d)` at s[i] (0 when it does not match), with the
// regex engines' simple case folding: each letter matches both its cases, and s also
// matches U+017F LATIN SMALL LETTER LONG S (no other character folds to these letters).
inline std::size_t contraction_any_case(const unsigned char* s, std::size_t i, std::size_t n) {
  if (i + 1 >= n || s[i] != '\'') return 0;
  const unsigned c1 = s[i + 1] | 0x20u;
  if (c1 == 's' || c1 == 't' || c1 == 'm' || c1 == 'd') return 2;
  if (s[i + 1] == 0xC5 && i + 2 < n && s[i + 2] == 0xBF) return 3;  // U+017F
  if (i + 2 >= n) return 0;
  const unsigned c2 = s[i + 2] | 0x20u;
  if ((c1 == 'r' && c2 == 'e') || (c1 == 'v' && c2 == 'e') || (c1 == 'l' && c2 == 'l')) return 3;
  return 0;
}

// At most three characters of \p{N} from s[i] (`\p{N}{1,3}`); s[i] is one.
inline std::size_t up_to_three_numbers_end(const unsigned char* s, std::size_t i, std::size_t n,
                                           std::size_t first_len) {
  i += first_len;
  for (int k = 1; k < 3 && i < n; ++k) {
    const Char c = char_at(s, i);
    if (!(c.cls & kN)) break;
    i += c.len;
  }
  return i;
}

}  // namespace corvane::scan
