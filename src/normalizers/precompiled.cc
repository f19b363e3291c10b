#include "normalizers/precompiled.h"

#include <vector>

#include "core/grapheme_clusters.h"

namespace corvane {

namespace {

// Appends the changes that replace `old_chars` characters by `replacement`, as the peer
// writes them: each new character replaces one old one; extra new ones are insertions
// (the last ones are marked so); fewer new ones remove the difference after the last
// change written so far (if there is one).
void replace(std::vector<NormalizedText::Change>& changes, std::size_t old_chars, std::string_view replacement) {
  const std::size_t before = changes.size();
  for (std::size_t i = 0; i < replacement.size();) changes.push_back({next_char(replacement, i), 0});
  const auto new_chars = static_cast<int64_t>(changes.size() - before);
  const int64_t diff = new_chars - static_cast<int64_t>(old_chars);
  if (diff > 0) {
    for (int64_t k = 0; k < diff; ++k) changes[changes.size() - 1 - static_cast<std::size_t>(k)].change = 1;
  } else if (diff < 0 && !changes.empty()) {
    changes.back().change += static_cast<int32_t>(diff);
  }
}

std::size_t count_chars(std::string_view s) {
  std::size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

}  // namespace

Precompiled::Precompiled(std::string_view blob) : map_(blob) {
  for (unsigned c = 1; c < 128; ++c) {
    const auto ch = static_cast<unsigned char>(c);
    std::string_view r;
    if (first_match(&ch, 1, r)) {
      ascii_mapped_[c] = true;
      ascii_replacement_[c] = r;
    }
  }
}

void Precompiled::normalize(NormalizedText& text) const {
  const std::string& s = text.normalized();
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::vector<NormalizedText::Change> changes;
  bool modified = false;
  std::size_t i = 0;
  // Until the first change, nothing is written: the changes so far are the characters
  // themselves, made up when the first replacement comes.
  auto ensure_started = [&](std::size_t upto) {
    if (modified) return;
    modified = true;
    changes.reserve(n + 16);
    for (std::size_t k = 0; k < upto;) changes.push_back({next_char(s, k), 0});
  };
  while (i < n) {
    // An ASCII character followed by another ASCII character other than after CR is a
    // cluster of its own.
    if (p[i] < 0x80 && (i + 1 == n || (p[i + 1] < 0x80 && !(p[i] == '\r' && p[i + 1] == '\n')))) {
      const unsigned char c = p[i];
      if (c < 128 && ascii_mapped_[c]) {
        ensure_started(i);
        replace(changes, 1, ascii_replacement_[c]);
      } else if (modified) {
        changes.push_back({c, 0});
      }
      ++i;
      continue;
    }
    const std::size_t end = GraphemeClusters::next_boundary(s, i);
    const std::string_view cluster(s.data() + i, end - i);
    std::string_view r;
    if (cluster.size() < 6 && first_match(p + i, cluster.size(), r)) {
      ensure_started(i);
      replace(changes, count_chars(cluster), r);
      i = end;
      continue;
    }
    for (std::size_t k = i; k < end;) {
      const std::size_t at = k;
      const char32_t c = next_char(s, k);
      if (first_match(p + at, k - at, r)) {
        ensure_started(at);
        replace(changes, 1, r);
      } else if (modified) {
        changes.push_back({c, 0});
      }
    }
    i = end;
  }
  if (modified) text.transform(changes, 0);
}

}  // namespace corvane
