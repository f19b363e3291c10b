#pragma once

// Straightforward versions of the BPE steps, for differential fuzzing only: written for
// obviousness, not speed (ordered maps, fresh strings, a full rescan per join).
//
//   pre_tokens   the pre-token cut, rule by rule at each position;
//   join         the merge loop: start from single bytes, repeatedly join the adjacent pair
//                with the lowest rank (the leftmost one among equal ranks), stop when no
//                adjacent pair is ranked;
//   bpe_encode   both together, with the rank-file rule's whole-pre-token shortcut;
//   bpe_decode   concatenation of the token texts of the ids that have one.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fuzzref {

// std::string's own order (unsigned bytes, then length), compared byte by byte in plain
// code: the library compare calls memcmp, whose fuzzer hook would record every lookup of
// the reference tables and cost more than the lookup.
struct ByteLess {
  bool operator()(std::string_view a, std::string_view b) const {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
      if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    }
    return a.size() < b.size();
  }
};

struct PairLess {
  bool operator()(const std::pair<std::string, std::string>& a, const std::pair<std::string, std::string>& b) const {
    const ByteLess less;
    if (less(a.first, b.first)) return true;
    if (less(b.first, a.first)) return false;
    return less(a.second, b.second);
  }
};

using TokenToId = std::map<std::string, int32_t, ByteLess>;
using IdToToken = std::map<int32_t, std::string>;
using PairRanks = std::map<std::pair<std::string, std::string>, int32_t, PairLess>;

enum class Rule {
  // Rank files: a pair is ranked when its joined text is a token; the rank is that
  // token's id. A pre-token that is itself a token is that one token.
  kJoinedToken,
  // tokenizer.json: a pair is ranked by its entry in the merge list.
  kMergeList,
};

// The model as a loader leaves it.
struct Model {
  Rule rule = Rule::kJoinedToken;
  TokenToId vocab;
  IdToToken id_to_token;
  PairRanks merges;

  // Adds one entry the way both loaders do: token -> id, then id -> token, each replacing
  // an earlier value under the same key.
  void assign(const std::string& token, int32_t id) {
    vocab[token] = id;
    id_to_token[id] = token;
  }
};

// ---- pre-tokenisation ----------------------------------------------------------------

inline bool is_ws(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool is_letter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool is_other(unsigned char c) { return !is_ws(c) && !is_letter(c) && !is_digit(c); }

// Length of " ?X+" at `pos` for the byte class X given by `pred`, or 0 when it does not
// match. (When s[pos] is a space, only the form with the space can match.)
template <class Pred>
std::size_t optional_space_run(std::string_view s, std::size_t pos, Pred pred) {
  std::size_t i = pos;
  if (s[i] == ' ') ++i;
  const std::size_t first = i;
  while (i < s.size() && pred(static_cast<unsigned char>(s[i]))) ++i;
  return i > first ? i - pos : 0;
}

// The GPT-2 alternatives, tried in order at each position (underscore counted as an
// ordinary "other" byte):
//   's|'t|'re|'ve|'m|'ll|'d| ?[A-Za-z]+| ?[0-9]+| ?[^\s\w]+|\s+(?!\S)|\s+
inline std::vector<std::string_view> pre_tokens(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t pos = 0;
  while (pos < s.size()) {
    std::size_t len = 0;
    // 1. contractions
    static const char* const kContractions[] = {"'s", "'t", "'re", "'ve", "'m", "'ll", "'d"};
    for (const char* c : kContractions) {
      const std::string_view cv(c);
      if (s.substr(pos, cv.size()) == cv) {
        len = cv.size();
        break;
      }
    }
    // 2.-4. an optional space and a run of letters, of digits, of other bytes
    if (!len) len = optional_space_run(s, pos, is_letter);
    if (!len) len = optional_space_run(s, pos, is_digit);
    if (!len) len = optional_space_run(s, pos, is_other);
    if (!len) {
      // 5. whitespace: \s+(?!\S) backtracks to the longest run prefix followed by
      // whitespace or the end; failing that, \s+ takes the whole run.
      std::size_t run = 0;
      while (pos + run < s.size() && is_ws(static_cast<unsigned char>(s[pos + run]))) ++run;
      std::size_t k = run;
      while (k > 0 && !(pos + k == s.size() || is_ws(static_cast<unsigned char>(s[pos + k])))) --k;
      len = k > 0 ? k : run;
    }
    if (len == 0) len = 1;  // not reached: every byte is whitespace, letter, digit or other
    out.push_back(s.substr(pos, len));
    pos += len;
  }
  return out;
}

// ---- merging ---------------------------------------------------------------------------

inline bool pair_rank(const Model& m, const std::string& left, const std::string& right, int32_t& rank) {
  if (m.rule == Rule::kJoinedToken) {
    const auto it = m.vocab.find(left + right);
    if (it == m.vocab.end()) return false;
    rank = it->second;
    return true;
  }
  const auto it = m.merges.find({left, right});
  if (it == m.merges.end()) return false;
  rank = it->second;
  return true;
}

// The final pieces of `word`. The rank of every adjacent pair is kept beside the pieces;
// a join changes only the two pairs next to it, so only those are looked up again. The
// choice itself is a full scan for the lowest rank, leftmost first.
inline std::vector<std::string> join(const Model& m, std::string_view word) {
  std::vector<std::string> pieces;
  for (char c : word) pieces.emplace_back(1, c);
  // ranks[i]: the rank of (pieces[i], pieces[i + 1]), or nothing when that pair is unranked.
  std::vector<std::optional<int32_t>> ranks;
  const auto lookup = [&](std::size_t i) -> std::optional<int32_t> {
    int32_t r;
    if (pair_rank(m, pieces[i], pieces[i + 1], r)) return r;
    return std::nullopt;
  };
  for (std::size_t i = 0; i + 1 < pieces.size(); ++i) ranks.push_back(lookup(i));
  while (pieces.size() > 1) {
    std::optional<int32_t> best_rank;
    std::size_t best = 0;
    for (std::size_t i = 0; i < ranks.size(); ++i) {
      if (ranks[i] && (!best_rank || *ranks[i] < *best_rank)) {
        best_rank = ranks[i];
        best = i;
      }
    }
    if (!best_rank) break;
    pieces[best] += pieces[best + 1];
    pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(best) + 1);
    ranks.erase(ranks.begin() + static_cast<std::ptrdiff_t>(best));
    if (best + 1 < pieces.size()) ranks[best] = lookup(best);
    if (best > 0) ranks[best - 1] = lookup(best - 1);
  }
  return pieces;
}

inline int32_t id_of(const Model& m, const std::string& piece) {
  const auto it = m.vocab.find(piece);
  return it == m.vocab.end() ? 0 : it->second;
}

inline std::vector<int32_t> merge_ids(const Model& m, std::string_view word) {
  std::vector<int32_t> ids;
  for (const std::string& p : join(m, word)) ids.push_back(id_of(m, p));
  return ids;
}

inline std::vector<int32_t> bpe_encode(const Model& m, std::string_view text) {
  std::vector<int32_t> ids;
  for (std::string_view word : pre_tokens(text)) {
    if (m.rule == Rule::kJoinedToken) {
      const auto it = m.vocab.find(std::string(word));
      if (it != m.vocab.end()) {
        ids.push_back(it->second);
        continue;
      }
    }
    for (int32_t id : merge_ids(m, word)) ids.push_back(id);
  }
  return ids;
}

inline std::string bpe_decode(const Model& m, const std::vector<int32_t>& ids) {
  std::string out;
  for (int32_t id : ids) {
    const auto it = m.id_to_token.find(id);
    if (it != m.id_to_token.end()) out += it->second;
  }
  return out;
}

}  // namespace fuzzref
