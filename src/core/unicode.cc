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

namespace {

// Every code point's category as runs of one category, in order: computed once, so that
// the ranges of any set of categories take a pass over a few thousand runs (patterns ask
// for them at load).
struct CategoryRun {
  char32_t lo;
  char32_t hi;
  Category category;
};

const std::vector<CategoryRun>& category_runs() {
  static const std::vector<CategoryRun> runs = [] {
    std::vector<CategoryRun> out;
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
      const Category c = category(cp);
      if (!out.empty() && out.back().category == c) {
        out.back().hi = cp;
      } else {
        out.push_back({cp, cp, c});
      }
    }
    return out;
  }();
  return runs;
}

}  // namespace

std::vector<Range> ranges_of(CategoryMask m) {
  std::vector<Range> out;
  for (const CategoryRun& r : category_runs()) {
    if (!(m & mask_of(r.category))) continue;
    if (!out.empty() && out.back().hi + 1 == r.lo) {
      out.back().hi = r.hi;
    } else {
      out.push_back({r.lo, r.hi});
    }
  }
  return out;
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
