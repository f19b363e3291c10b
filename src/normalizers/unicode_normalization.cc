#include "normalizers/unicode_normalization.h"

#include <algorithm>

#include "core/pinned_unicode.h"

namespace corvane {

namespace {

struct Decomposed {
  char32_t ch;
  int32_t change;
  uint8_t ccc;
};

// Full decomposition, then canonical ordering: each run of non-starters is sorted by
// combining class, stably. The first character of a decomposition replaces the character
// it came from; the others are inserted.
std::vector<Decomposed> decompose(const std::u32string& text, bool compat) {
  std::vector<Decomposed> out;
  out.reserve(text.size() + text.size() / 4);
  std::u32string parts;
  std::size_t run = 0;  // start of the current run of non-starters
  auto close_run = [&]() {
    if (out.size() - run > 1) {
      std::stable_sort(out.begin() + static_cast<std::ptrdiff_t>(run), out.end(),
                       [](const Decomposed& a, const Decomposed& b) { return a.ccc < b.ccc; });
    }
  };
  for (char32_t c : text) {
    parts.clear();
    pinned_unicode::decompose(c, compat, parts);
    bool first = true;
    for (char32_t d : parts) {
      const uint8_t ccc = pinned_unicode::combining_class(d);
      if (ccc == 0) {
        close_run();
        run = out.size() + 1;
      }
      out.push_back({d, first ? 0 : 1, ccc});
      first = false;
    }
  }
  close_run();
  return out;
}

// Canonical composition of a decomposed sequence. A composite takes the change of its
// first part plus those of the parts merged into it, minus one for each merge; characters
// blocked from composing come out after the starter they follow.
std::vector<NormalizedText::Change> compose(const std::vector<Decomposed>& in) {
  using Change = NormalizedText::Change;
  std::vector<Change> out;
  out.reserve(in.size());
  bool has_composee = false;
  Change composee{0, 0};
  int last_ccc = -1;  // -1: nothing between the starter and the next character
  std::vector<Change> blocked;
  for (const Decomposed& d : in) {
    const Change ch{d.ch, d.change};
    if (!has_composee) {
      if (d.ccc != 0) {
        out.push_back(ch);
      } else {
        composee = ch;
        has_composee = true;
      }
      continue;
    }
    if (last_ccc < 0) {
      if (const char32_t r = pinned_unicode::compose(composee.ch, d.ch)) {
        composee = {r, composee.change + d.change - 1};
        continue;
      }
      if (d.ccc == 0) {
        out.push_back(composee);
        composee = ch;
        continue;
      }
      blocked.push_back(ch);
      last_ccc = d.ccc;
      continue;
    }
    if (last_ccc >= d.ccc) {
      if (d.ccc == 0) {
        out.push_back(composee);
        out.insert(out.end(), blocked.begin(), blocked.end());
        blocked.clear();
        composee = ch;
        last_ccc = -1;
        continue;
      }
      blocked.push_back(ch);
      last_ccc = d.ccc;
      continue;
    }
    if (const char32_t r = pinned_unicode::compose(composee.ch, d.ch)) {
      composee = {r, composee.change + d.change - 1};
      continue;
    }
    blocked.push_back(ch);
    last_ccc = d.ccc;
  }
  if (has_composee) out.push_back(composee);
  out.insert(out.end(), blocked.begin(), blocked.end());
  return out;
}

}  // namespace

std::vector<NormalizedText::Change> UnicodeNormalization::changes(const std::u32string& text, Form form) {
  const bool compat = form == Form::NFKC || form == Form::NFKD;
  std::vector<Decomposed> d = decompose(text, compat);
  if (form == Form::NFC || form == Form::NFKC) return compose(d);
  std::vector<NormalizedText::Change> out;
  out.reserve(d.size());
  for (const Decomposed& x : d) out.push_back({x.ch, x.change});
  return out;
}

void UnicodeNormalization::normalize(NormalizedText& text) const {
  const std::string& s = text.normalized();
  // Below U+00A0 no character decomposes, composes or has a combining class.
  if (std::all_of(s.begin(), s.end(), [](char b) { return static_cast<unsigned char>(b) < 0x80; })) return;
  const std::u32string chars = text.chars();
  const std::vector<NormalizedText::Change> dest = changes(chars, form_);
  bool same = dest.size() == chars.size();
  for (std::size_t i = 0; same && i < dest.size(); ++i) same = dest[i].change == 0 && dest[i].ch == chars[i];
  if (!same) text.transform(dest, 0);
}

}  // namespace corvane
