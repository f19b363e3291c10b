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

// has_length[n]: some token is n bytes long.
inline std::vector<bool> token_lengths(const WordPieceModel& m) {
  std::vector<bool> has_length;
  for (const auto& [t, id] : m.vocab) {
    if (t.size() >= has_length.size()) has_length.resize(t.size() + 1);
    has_length[t.size()] = true;
  }
  return has_length;
}

// Candidates of a length no token has can never match, so they are not built; this
// changes no result.
inline std::vector<int32_t> wordpiece_word(const WordPieceModel& m, std::string_view word,
                                           const std::vector<bool>& has_length) {
  std::vector<int32_t> ids;
  std::size_t start = 0;
  while (start < word.size()) {
    std::size_t end = word.size();
    int32_t cur = -1;
    while (start < end) {
      const std::size_t len = end - start + (start > 0 ? 2 : 0);
      if (len < has_length.size() && has_length[len]) {
        std::string sub(word.substr(start, end - start));
        if (start > 0) sub = "##" + sub;
        const auto it = m.vocab.find(sub);
        if (it != m.vocab.end()) {
          cur = it->second;
          break;
        }
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
  const std::vector<bool> has_length = token_lengths(m);
  std::vector<int32_t> ids;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && wp_space(static_cast<unsigned char>(text[i]))) ++i;
    const std::size_t start = i;
    while (i < text.size() && !wp_space(static_cast<unsigned char>(text[i]))) ++i;
    if (i > start) {
      for (int32_t id : wordpiece_word(m, text.substr(start, i - start), has_length)) ids.push_back(id);
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
