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

std::vector<Range> without_surrogates(const std::vector<Range>& ranges) {
  std::vector<Range> out;
  for (Range r : ranges) {
    if (r.hi < 0xD800 || r.lo > 0xDFFF) {
      out.push_back(r);
      continue;
    }
    if (r.lo < 0xD800) out.push_back({r.lo, 0xD7FF});
    if (r.hi > 0xDFFF) out.push_back({0xE000, r.hi});
  }
  return out;
}

std::optional<std::vector<Range>> category_by_name(const std::string& name, bool rust_aliases) {
  struct Alias {
    const char* name;
    CategoryMask mask;
  };
  static const Alias kAliases[] = {
      {"l", kLetter}, {"letter", kLetter},
      {"lc", mask_of(Lu) | mask_of(Ll) | mask_of(Lt)}, {"casedletter", mask_of(Lu) | mask_of(Ll) | mask_of(Lt)},
      {"lu", mask_of(Lu)}, {"uppercaseletter", mask_of(Lu)},
      {"ll", mask_of(Ll)}, {"lowercaseletter", mask_of(Ll)},
      {"lt", mask_of(Lt)}, {"titlecaseletter", mask_of(Lt)},
      {"lm", mask_of(Lm)}, {"modifierletter", mask_of(Lm)},
      {"lo", mask_of(Lo)}, {"otherletter", mask_of(Lo)},
      {"m", kMark}, {"mark", kMark}, {"combiningmark", kMark},
      {"mn", mask_of(Mn)}, {"nonspacingmark", mask_of(Mn)},
      {"mc", mask_of(Mc)}, {"spacingmark", mask_of(Mc)},
      {"me", mask_of(Me)}, {"enclosingmark", mask_of(Me)},
      {"n", kNumber}, {"number", kNumber},
      {"nd", mask_of(Nd)}, {"decimalnumber", mask_of(Nd)},
      {"nl", mask_of(Nl)}, {"letternumber", mask_of(Nl)},
      {"no", mask_of(No)}, {"othernumber", mask_of(No)},
      {"p", kPunctuation}, {"punctuation", kPunctuation},
      {"pc", mask_of(Pc)}, {"connectorpunctuation", mask_of(Pc)},
      {"pd", mask_of(Pd)}, {"dashpunctuation", mask_of(Pd)},
      {"ps", mask_of(Ps)}, {"openpunctuation", mask_of(Ps)},
      {"pe", mask_of(Pe)}, {"closepunctuation", mask_of(Pe)},
      {"pi", mask_of(Pi)}, {"initialpunctuation", mask_of(Pi)},
      {"pf", mask_of(Pf)}, {"finalpunctuation", mask_of(Pf)},
      {"po", mask_of(Po)}, {"otherpunctuation", mask_of(Po)},
      {"s", kSymbol}, {"symbol", kSymbol},
      {"sm", mask_of(Sm)}, {"mathsymbol", mask_of(Sm)},
      {"sc", mask_of(Sc)}, {"currencysymbol", mask_of(Sc)},
      {"sk", mask_of(Sk)}, {"modifiersymbol", mask_of(Sk)},
      {"so", mask_of(So)}, {"othersymbol", mask_of(So)},
      {"z", kSeparator}, {"separator", kSeparator},
      {"zs", mask_of(Zs)}, {"spaceseparator", mask_of(Zs)},
      {"zl", mask_of(Zl)}, {"lineseparator", mask_of(Zl)},
      {"zp", mask_of(Zp)}, {"paragraphseparator", mask_of(Zp)},
      {"c", kOther}, {"other", kOther},
      {"cc", mask_of(Cc)}, {"control", mask_of(Cc)},
      {"cf", mask_of(Cf)}, {"format", mask_of(Cf)},
      {"co", mask_of(Co)}, {"privateuse", mask_of(Co)},
      {"cn", mask_of(Cn)}, {"unassigned", mask_of(Cn)},
  };
  static const Alias kRustAliases[] = {
      {"digit", mask_of(Nd)}, {"punct", kPunctuation}, {"cntrl", mask_of(Cc)},
  };
  if (name == "any") return std::vector<Range>{{0, 0x10FFFF}};
  if (name == "assigned") return complement(ranges_of(mask_of(Cn)));
  for (const Alias& a : kAliases) {
    if (name == a.name) return ranges_of(a.mask);
  }
  if (rust_aliases) {
    if (name == "ascii") return std::vector<Range>{{0, 0x7F}};
    for (const Alias& a : kRustAliases) {
      if (name == a.name) return ranges_of(a.mask);
    }
  }
  return std::nullopt;
}

}  // namespace corvane::unicode
