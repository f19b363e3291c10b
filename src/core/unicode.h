#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <optional>
#include <string>
#include <vector>

namespace corvane::unicode {

// The Unicode character data the pre-tokenisers and the regex engine work with. The tables
// are generated at build time (tools/gen_unicode_tables.py) for the Unicode version of the
// regex engine the peers use, named by version().

// General categories; Cn (unassigned) is 0. The order is fixed by the generator.
enum Category : uint8_t {
  Cn, Lu, Ll, Lt, Lm, Lo, Mn, Mc, Me, Nd, Nl, No,
  Pc, Pd, Ps, Pe, Pi, Pf, Po, Sm, Sc, Sk, So,
  Zs, Zl, Zp, Cc, Cf, Cs, Co,
  kCategoryCount
};

// Sets of categories, as bit masks over Category (bit c is category c).
using CategoryMask = uint32_t;
constexpr CategoryMask mask_of(Category c) { return CategoryMask{1} << c; }
constexpr CategoryMask kLetter = mask_of(Lu) | mask_of(Ll) | mask_of(Lt) | mask_of(Lm) | mask_of(Lo);
constexpr CategoryMask kMark = mask_of(Mn) | mask_of(Mc) | mask_of(Me);
constexpr CategoryMask kNumber = mask_of(Nd) | mask_of(Nl) | mask_of(No);
constexpr CategoryMask kPunctuation = mask_of(Pc) | mask_of(Pd) | mask_of(Ps) | mask_of(Pe) |
                                      mask_of(Pi) | mask_of(Pf) | mask_of(Po);
constexpr CategoryMask kSymbol = mask_of(Sm) | mask_of(Sc) | mask_of(Sk) | mask_of(So);
constexpr CategoryMask kSeparator = mask_of(Zs) | mask_of(Zl) | mask_of(Zp);
constexpr CategoryMask kOther = mask_of(Cc) | mask_of(Cf) | mask_of(Cs) | mask_of(Co) | mask_of(Cn);

// The Unicode version of the tables, such as "16.0.0".
const char* version();

// General category of a code point; Cn for anything above U+10FFFF.
Category category(char32_t cp);

inline bool in(char32_t cp, CategoryMask m) { return (m >> category(cp)) & 1u; }

// The White_Space property: the separators (Zs, Zl, Zp), U+0009..U+000D and U+0085. This is
// what \s means in the peers' regex engines.
inline bool is_white_space(char32_t cp) {
  if (cp < 0x80) return cp == ' ' || (cp >= 0x09 && cp <= 0x0D);
  return cp == 0x85 || in(cp, kSeparator);
}

// An inclusive range of code points.
struct Range {
  char32_t lo, hi;
};

// The code points whose category is in `m`, as sorted, disjoint, non-adjacent ranges
// (surrogates included where Cs is in `m`). Computed from the tables on each call.
std::vector<Range> ranges_of(CategoryMask m);
// The White_Space code points as ranges.
std::vector<Range> white_space_ranges();
// The complement of sorted, disjoint ranges within U+0000..U+10FFFF.
std::vector<Range> complement(const std::vector<Range>& ranges);
// The ranges without the surrogates U+D800..U+DFFF, which no well-formed text holds and
// regex engines refuse in a UTF-8 pattern.
std::vector<Range> without_surrogates(const std::vector<Range>& ranges);

// The code points of a general category named by `loose_name`: its short or long name
// (UAX #44) in lowercase without blanks, '_' or '-', or "any", or "assigned"; with
// `rust_aliases` also the regex crate's "digit", "punct", "cntrl" and "ascii". Nothing for
// any other name.
std::optional<std::vector<Range>> category_by_name(const std::string& loose_name, bool rust_aliases);

}  // namespace corvane::unicode
