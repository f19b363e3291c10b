#pragma once

// Plain reference of the tokenizer.json normalizers for the fuzz targets: the text is a list
// of characters, each with the original byte range it came from, and every step is written
// the slow, obvious way from `tokenizers`' definitions (quadratic where that is simpler).
// Only the character data (pinned_unicode) is shared with the engine.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/byte_level.h"
#include "core/pinned_unicode.h"
#include "core/unicode.h"

namespace fuzzref {

struct RefChar {
  char32_t ch;
  uint32_t start, end;
};

struct RefText {
  std::vector<RefChar> chars;
};

inline RefText ref_from(const std::u32string& cps) {
  RefText t;
  uint32_t at = 0;
  for (char32_t c : cps) {
    const uint32_t len = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    t.chars.push_back({c, at, at + len});
    at += len;
  }
  return t;
}

// `tokenizers`' transform, character by character: 0 replaces the next old character
// (taking its range), a positive change inserts (taking the range of the old character
// before the read position, or nothing at the start), -N replaces and drops N more.
inline void ref_transform(RefText& t, const std::vector<std::pair<char32_t, int>>& dest) {
  std::vector<RefChar> out;
  std::size_t pos = 0;
  for (const auto& [c, change] : dest) {
    RefChar r{c, 0, 0};
    if (change > 0) {
      if (pos > 0) r.start = t.chars[pos - 1].start, r.end = t.chars[pos - 1].end;
    } else {
      r.start = t.chars[pos].start, r.end = t.chars[pos].end;
      pos += 1 + static_cast<std::size_t>(-change);
      if (pos > t.chars.size()) pos = t.chars.size();
    }
    out.push_back(r);
  }
  t.chars = std::move(out);
}

template <class Keep>
void ref_filter(RefText& t, Keep keep) {
  std::vector<RefChar> out;
  for (const RefChar& c : t.chars)
    if (keep(c.ch)) out.push_back(c);
  t.chars = std::move(out);
}

inline void ref_lowercase(RefText& t) {
  std::vector<RefChar> out;
  for (const RefChar& c : t.chars) {
    std::u32string m;
    corvane::pinned_unicode::lowercase(c.ch, m);
    for (char32_t x : m) out.push_back({x, c.start, c.end});
  }
  t.chars = std::move(out);
}

// UAX #15 the textbook way: full decomposition, canonical ordering by repeated adjacent
// swaps, then composition that scans back for the last starter and checks blocking.
inline void ref_normalize(RefText& t, bool compat, bool compose) {
  using corvane::pinned_unicode::combining_class;
  std::vector<std::pair<char32_t, int>> d;
  for (const RefChar& c : t.chars) {
    std::u32string parts;
    corvane::pinned_unicode::decompose(c.ch, compat, parts);
    for (std::size_t k = 0; k < parts.size(); ++k) d.push_back({parts[k], k == 0 ? 0 : 1});
  }
  for (bool swapped = true; swapped;) {
    swapped = false;
    for (std::size_t k = 1; k < d.size(); ++k) {
      const uint8_t a = combining_class(d[k - 1].first), b = combining_class(d[k].first);
      if (a > b && b != 0) {
        std::swap(d[k - 1], d[k]);
        swapped = true;
      }
    }
  }
  if (compose) {
    std::vector<std::pair<char32_t, int>> out;
    long starter = -1;  // index in `out` of the last starter
    for (const auto& x : d) {
      const uint8_t cc = combining_class(x.first);
      if (starter >= 0) {
        // Blocked when a character between the starter and x has a class of 0 or >= x's.
        bool blocked = false;
        for (std::size_t k = static_cast<std::size_t>(starter) + 1; k < out.size(); ++k) {
          const uint8_t ck = combining_class(out[k].first);
          if (ck == 0 || ck >= cc) blocked = true;
        }
        if (!blocked) {
          if (char32_t r = corvane::pinned_unicode::compose(out[static_cast<std::size_t>(starter)].first, x.first)) {
            out[static_cast<std::size_t>(starter)].first = r;
            out[static_cast<std::size_t>(starter)].second += x.second - 1;
            continue;
          }
        }
      }
      out.push_back(x);
      if (cc == 0) starter = static_cast<long>(out.size()) - 1;
    }
    d = std::move(out);
  }
  ref_transform(t, d);
}

inline void ref_strip(RefText& t, bool left, bool right) {
  std::size_t b = 0, e = t.chars.size();
  if (left)
    while (b < e && corvane::unicode::is_white_space(t.chars[b].ch)) ++b;
  if (right)
    while (e > b && corvane::unicode::is_white_space(t.chars[e - 1].ch)) --e;
  t.chars = std::vector<RefChar>(t.chars.begin() + static_cast<long>(b), t.chars.begin() + static_cast<long>(e));
}

inline void ref_prepend(RefText& t, const std::u32string& s) {
  if (t.chars.empty()) return;
  // A transform of the first character alone: the prefix replaces it, and it comes back
  // inserted after the prefix.
  RefText first;
  first.chars.push_back(t.chars[0]);
  std::vector<std::pair<char32_t, int>> dest;
  for (std::size_t k = 0; k < s.size(); ++k) dest.push_back({s[k], k == 0 ? 0 : 1});
  dest.push_back({t.chars[0].ch, 1});
  ref_transform(first, dest);
  first.chars.insert(first.chars.end(), t.chars.begin() + 1, t.chars.end());
  t.chars = std::move(first.chars);
}

// Literal replacement: leftmost non-overlapping matches; the empty pattern matches at every
// character boundary.
inline void ref_replace(RefText& t, const std::u32string& pat, const std::u32string& content) {
  if (t.chars.empty()) return;
  std::vector<RefChar> out;
  auto emit = [&](std::size_t end_pos) {
    RefChar r{0, 0, 0};
    if (end_pos > 0) r.start = t.chars[end_pos - 1].start, r.end = t.chars[end_pos - 1].end;
    for (char32_t c : content) out.push_back({c, r.start, r.end});
  };
  std::size_t i = 0;
  while (i <= t.chars.size()) {
    bool match = i + pat.size() <= t.chars.size();
    for (std::size_t k = 0; match && k < pat.size(); ++k) match = t.chars[i + k].ch == pat[k];
    if (match) {
      emit(i + pat.size());
      if (!pat.empty()) {
        i += pat.size();
        continue;
      }
    }
    if (i == t.chars.size()) break;
    out.push_back(t.chars[i]);
    ++i;
  }
  t.chars = std::move(out);
}

inline void ref_byte_level(RefText& t) {
  std::vector<RefChar> out;
  for (const RefChar& c : t.chars) {
    std::string b;
    char32_t x = c.ch;
    if (x < 0x80) b.push_back(static_cast<char>(x));
    else if (x < 0x800) b += {static_cast<char>(0xC0 | (x >> 6)), static_cast<char>(0x80 | (x & 0x3F))};
    else if (x < 0x10000)
      b += {static_cast<char>(0xE0 | (x >> 12)), static_cast<char>(0x80 | ((x >> 6) & 0x3F)),
            static_cast<char>(0x80 | (x & 0x3F))};
    else
      b += {static_cast<char>(0xF0 | (x >> 18)), static_cast<char>(0x80 | ((x >> 12) & 0x3F)),
            static_cast<char>(0x80 | ((x >> 6) & 0x3F)), static_cast<char>(0x80 | (x & 0x3F))};
    for (unsigned char byte : b) out.push_back({corvane::ByteLevel::char_of(byte), c.start, c.end});
  }
  t.chars = std::move(out);
}

inline bool ref_is_chinese(char32_t c) {
  const std::pair<char32_t, char32_t> blocks[] = {{0x4E00, 0x9FFF},   {0x3400, 0x4DBF},   {0x20000, 0x2A6DF},
                                                  {0x2A700, 0x2B73F}, {0x2B740, 0x2B81F}, {0x2B920, 0x2CEAF},
                                                  {0xF900, 0xFAFF},   {0x2F800, 0x2FA1F}};
  for (const auto& [lo, hi] : blocks)
    if (c >= lo && c <= hi) return true;
  return false;
}

inline void ref_bert(RefText& t, bool clean, bool chinese, bool strip_accents, bool lower) {
  if (clean) {
    ref_filter(t, [](char32_t c) {
      return c == '\t' || c == '\n' || c == '\r' ||
             !(c == 0 || c == 0xFFFD || corvane::pinned_unicode::is_control_format_or_private(c));
    });
    for (RefChar& c : t.chars)
      if (corvane::unicode::is_white_space(c.ch)) c.ch = ' ';
  }
  if (chinese) {
    std::vector<RefChar> out;
    for (const RefChar& c : t.chars) {
      if (ref_is_chinese(c.ch)) {
        out.push_back({' ', c.start, c.end});
        out.push_back(c);
        out.push_back({' ', c.start, c.end});
      } else {
        out.push_back(c);
      }
    }
    t.chars = std::move(out);
  }
  if (strip_accents) {
    ref_normalize(t, false, false);
    ref_filter(t, [](char32_t c) { return !corvane::pinned_unicode::is_nonspacing_mark(c); });
  }
  if (lower) ref_lowercase(t);
}

}  // namespace fuzzref
