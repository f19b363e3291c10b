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
    Ranges r = unicode::without_surrogates(negated ? unicode::complement(set) : set);
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
          const std::optional<Ranges> set = unicode::category_by_name(loose(body), false);
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
