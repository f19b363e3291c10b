#include "pre_tokenizers/hf/onig_unicode.h"

#include <oniguruma.h>

#include <optional>
#include <vector>

#include "core/unicode.h"
#include "pre_tokenizers/hf/char_classes.h"

namespace corvane::hf {

namespace {

using unicode::Range;
using Ranges = std::vector<Range>;

// A property name as Oniguruma compares them: lowercase, without spaces, '-' and '_'.
std::string loose(std::string_view name) {
  std::string out;
  for (char c : name) {
    if (c == ' ' || c == '-' || c == '_') continue;
    out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  return out;
}

std::optional<Ranges> category_ranges(const std::string& name) {
  using namespace unicode;
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
  if (name == "any") return Ranges{{0, 0x10FFFF}};
  if (name == "assigned") return complement(ranges_of(mask_of(Cn)));
  for (const Alias& a : kAliases) {
    if (name == a.name) return ranges_of(a.mask);
  }
  return std::nullopt;
}

template <class Pred>
Ranges collect(Pred&& pred) {
  Ranges out;
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

// The ranges without the surrogates, which no text holds and Oniguruma may refuse.
Ranges without_surrogates(const Ranges& in) {
  Ranges out;
  for (Range r : in) {
    if (r.hi < 0xD800 || r.lo > 0xDFFF) {
      out.push_back(r);
      continue;
    }
    if (r.lo < 0xD800) out.push_back({r.lo, 0xD7FF});
    if (r.hi > 0xDFFF) out.push_back({0xE000, r.hi});
  }
  return out;
}

// "\x{HEX}" (thousands of them per class: written by hand, not by printf).
void put_code_point(std::string& out, char32_t cp) {
  static const char kHex[] = "0123456789ABCDEF";
  char digits[8];
  int n = 0;
  do {
    digits[n++] = kHex[cp & 0xF];
    cp >>= 4;
  } while (cp != 0);
  out += "\\x{";
  while (n > 0) out += digits[--n];
  out += '}';
}

void put_ranges(std::string& out, const Ranges& ranges) {
  for (Range r : ranges) {
    put_code_point(out, r.lo);
    if (r.lo != r.hi) {
      out += '-';
      put_code_point(out, r.hi);
    }
  }
}

std::size_t utf8_len(unsigned char c) { return c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4; }

}  // namespace

std::string pin_unicode_classes(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  int depth = 0;  // bracket class nesting
  std::size_t i = 0;
  auto put_set = [&](const Ranges& set, bool negated) {
    Ranges r = without_surrogates(negated ? unicode::complement(set) : set);
    if (r.empty()) return false;
    if (depth == 0) out += '[';
    put_ranges(out, r);
    if (depth == 0) out += ']';
    return true;
  };
  while (i < in.size()) {
    const char c = in[i];
    if (c == '\\' && i + 1 < in.size()) {
      const char e = in[i + 1];
      if ((e == 'p' || e == 'P') && i + 2 < in.size() && in[i + 2] == '{') {
        const std::size_t close = in.find('}', i + 3);
        if (close != std::string_view::npos) {
          std::string_view body = in.substr(i + 3, close - (i + 3));
          bool negated = e == 'P';
          if (!body.empty() && body[0] == '^') {
            negated = !negated;
            body.remove_prefix(1);
          }
          const std::optional<Ranges> set = category_ranges(loose(body));
          if (set && put_set(*set, negated)) {
            i = close + 1;
            continue;
          }
        }
      } else if (e == 'd' || e == 'D') {
        static const Ranges kDigit = unicode::ranges_of(unicode::mask_of(unicode::Nd));
        if (put_set(kDigit, e == 'D')) {
          i += 2;
          continue;
        }
      } else if (e == 'w' || e == 'W') {
        // Oniguruma's Word: Alphabetic, marks, Nd and Pc; unlike the `regex` crate's \w it
        // leaves out Join_Control (U+200C, U+200D). Below U+0100 the engine's own table
        // decides (it also counts the Latin-1 numbers such as U+00B2 as word characters).
        static const Ranges kWord = collect([](char32_t c) {
          if (c < 0x100) return ONIGENC_IS_CODE_CTYPE(ONIG_ENCODING_UTF8, c, ONIGENC_CTYPE_WORD) != 0;
          return is_word(c) && c != 0x200C && c != 0x200D;
        });
        if (put_set(kWord, e == 'W')) {
          i += 2;
          continue;
        }
      }
      // Any other escape is copied whole: the backslash and the character after it.
      out.append(in.substr(i, 1 + utf8_len(static_cast<unsigned char>(e))));
      i += 1 + utf8_len(static_cast<unsigned char>(e));
      continue;
    }
    if (c == '[') {
      if (depth > 0 && i + 1 < in.size() && in[i + 1] == ':') {
        // A POSIX bracket such as [:alpha:] is copied as it is.
        const std::size_t close = in.find(":]", i + 2);
        if (close != std::string_view::npos) {
          out.append(in.substr(i, close + 2 - i));
          i = close + 2;
          continue;
        }
      }
      ++depth;
      out += c;
      ++i;
      // A ']' right after the opening (or after '^') is a literal member.
      if (i < in.size() && in[i] == '^') out += in[i++];
      if (i < in.size() && in[i] == ']') out += in[i++];
      continue;
    }
    if (c == ']' && depth > 0) --depth;
    const std::size_t n = utf8_len(static_cast<unsigned char>(c));
    out.append(in.substr(i, n));
    i += n;
  }
  return out;
}

}  // namespace corvane::hf
