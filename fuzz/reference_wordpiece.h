#pragma once

// Straightforward WordPiece encode and decode, for differential fuzzing only: greedy
// longest match first with fresh candidate strings and an ordered map.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "reference_loaders.h"

namespace fuzzref {

inline bool wp_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

inline std::size_t longest_token(const WordPieceModel& m) {
  std::size_t n = 0;
  for (const auto& [t, id] : m.vocab) n = t.size() > n ? t.size() : n;
  return n;
}

// Candidates longer than the longest token can never match, so they are not built; this
// changes no result.
inline std::vector<int32_t> wordpiece_word(const WordPieceModel& m, std::string_view word, std::size_t max_len) {
  std::vector<int32_t> ids;
  std::size_t start = 0;
  while (start < word.size()) {
    std::size_t end = word.size();
    if (end - start > max_len) end = start + max_len;
    int32_t cur = -1;
    while (start < end) {
      std::string sub(word.substr(start, end - start));
      if (start > 0) sub = "##" + sub;
      const auto it = m.vocab.find(sub);
      if (it != m.vocab.end()) {
        cur = it->second;
        break;
      }
      --end;
    }
    if (cur < 0) return {100};
    ids.push_back(cur);
    start = end;
  }
  return ids;
}

inline std::vector<int32_t> wordpiece_encode(const WordPieceModel& m, std::string_view text) {
  const std::size_t max_len = longest_token(m);
  std::vector<int32_t> ids;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && wp_space(static_cast<unsigned char>(text[i]))) ++i;
    const std::size_t start = i;
    while (i < text.size() && !wp_space(static_cast<unsigned char>(text[i]))) ++i;
    if (i > start) {
      for (int32_t id : wordpiece_word(m, text.substr(start, i - start), max_len)) ids.push_back(id);
    }
  }
  return ids;
}

inline std::string wordpiece_decode(const WordPieceModel& m, const std::vector<int32_t>& ids) {
  std::string out;
  for (int32_t id : ids) {
    const auto it = m.id_to_token.find(id);
    if (it == m.id_to_token.end()) continue;
    const std::string& tok = it->second;
    if (tok.size() > 2 && tok[0] == '#' && tok[1] == '#') {
      out += tok.substr(2);
    } else {
      out += ' ';
      out += tok;
    }
  }
  if (!out.empty() && out[0] == ' ') out.erase(0, 1);
  return out;
}

}  // namespace fuzzref
