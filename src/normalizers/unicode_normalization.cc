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
  // An ASCII character never decomposes, has combining class 0 and never composes with
  // what precedes it, so everything before it is final when it arrives: the text splits
  // into independent segments, each an ASCII character (or the start) and the non-ASCII
  // characters that follow it. Segments without non-ASCII characters stay as they are.
  const std::string& s = text.normalized();
  const std::size_t n = s.size();
  auto is_ascii = [&](std::size_t i) { return static_cast<unsigned char>(s[i]) < 0x80; };
  std::size_t i = 0;
  while (i < n && is_ascii(i)) ++i;
  if (i == n) return;

  std::string out;
  std::vector<NormalizedText::Span> align;
  out.reserve(n + n / 8);
  align.reserve(n + n / 8);
  std::size_t done = 0;  // bytes [0, done) are in `out`
  std::u32string chars;
  bool changed = false;
  while (i < n) {
    // `i` is the first non-ASCII byte of a stretch; its segment starts one ASCII byte
    // earlier, when there is one.
    const std::size_t seg = i > 0 ? i - 1 : 0;
    std::size_t end = i;
    while (end < n && !is_ascii(end)) ++end;
    text.append_unchanged(done, seg, out, align);
    chars.clear();
    for (std::size_t k = seg; k < end;) chars.push_back(next_char(s, k));
    const std::vector<NormalizedText::Change> dest = changes(chars, form_);
    bool same = dest.size() == chars.size();
    for (std::size_t k = 0; same && k < dest.size(); ++k) same = dest[k].change == 0 && dest[k].ch == chars[k];
    if (same) {
      text.append_unchanged(seg, end, out, align);
    } else {
      text.append_changed(seg, end, dest, out, align);
      changed = true;
    }
    done = end;
    i = end;
    while (i < n && is_ascii(i)) ++i;
  }
  if (!changed) return;
  text.append_unchanged(done, n, out, align);
  text.assign(std::move(out), std::move(align));
}

}  // namespace corvane
