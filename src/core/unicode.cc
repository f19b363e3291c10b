#include "core/unicode.h"

namespace corvane::unicode {

namespace {
#include "unicode_tables.inc"
}  // namespace

const char* version() { return CORVANE_UNICODE_VERSION; }

Category category(char32_t cp) {
  if (cp > 0x10FFFF) return Cn;
  return static_cast<Category>(kCategoryStage2[static_cast<std::size_t>(kCategoryStage1[cp >> 8]) * 256 + (cp & 0xFF)]);
}

namespace {

template <class Pred>
std::vector<Range> collect(Pred&& pred) {
  std::vector<Range> out;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (!pred(cp)) continue;
    if (!out.empty() && out.back().hi + 1 == cp) {
      out.back().hi = cp;
    } else {
      out.push_back({cp, cp});
    }
  }
  return out;
}

}  // namespace

std::vector<Range> ranges_of(CategoryMask m) {
  return collect([m](char32_t cp) { return in(cp, m); });
}

std::vector<Range> white_space_ranges() { return collect(is_white_space); }

std::vector<Range> complement(const std::vector<Range>& ranges) {
  std::vector<Range> out;
  char32_t next = 0;
  for (const Range& r : ranges) {
    if (r.lo > next) out.push_back({next, r.lo - 1});
    next = r.hi + 1;
  }
  if (next <= 0x10FFFF) out.push_back({next, 0x10FFFF});
  return out;
}

}  // namespace corvane::unicode
