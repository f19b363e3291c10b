#pragma once

// Plain reference of the added tokens of a tokenizer.json pipeline, for the fuzz targets,
// written the slow, obvious way from `tokenizers`' AddedVocabulary: ordered maps for the
// token tables, every pattern tried at every position for the leftmost-longest matches,
// and the whole prefix or suffix decoded for each single_word, lstrip and rstrip rule.
// The normalizer and the character classes are the engine's (they are not under test here).

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "added_tokens/added_vocabulary.h"
#include "core/unicode.h"
#include "normalizers/normalized_text.h"
#include "normalizers/normalizer.h"
#include "pre_tokenizers/hf/char_classes.h"

namespace fuzzref {

struct RefSpan {
  uint32_t start, end;
  bool operator==(const RefSpan&) const = default;
};

struct RefPiece {
  std::string normalized;
  std::vector<RefSpan> spans;  // per normalized byte, into the whole input
  RefSpan original;
  int64_t token;
};

// Thrown where the peer panics ("AddedVocabulary bad split").
struct RefBadSplit {};

class RefAddedTokens {
 public:
  // `model_id` looks a content up in the model's vocabulary.
  RefAddedTokens(const std::vector<corvane::AddedToken>& tokens,
                 const std::function<std::optional<uint32_t>(const std::string&)>& model_id, uint32_t vocab_size,
                 const corvane::Normalizer* normalizer) {
    uint32_t next_id = vocab_size;
    for (const corvane::AddedToken& t : tokens) {
      if (t.content.empty()) continue;
      if (ids.count(t.content) && by_id.count(ids[t.content]) && by_id[ids[t.content]] == t) continue;
      uint32_t id;
      if (ids.count(t.content)) {
        id = ids[t.content];
      } else if (auto m = model_id(t.content)) {
        id = *m;
      } else {
        id = next_id++;
      }
      if (t.normalized && normalizer) {
        corvane::NormalizedText s(t.content);
        normalizer->normalize(s);
        if (s.normalized() != t.content) cache[id] = s.normalized();
      }
      ids[t.content] = id;
      if (t.special) specials.insert(t.content);
      bool fresh = !by_id.count(id);
      by_id[id] = t;
      if (fresh) order.push_back(id);
    }
  }

  std::map<std::string, uint32_t> ids;
  std::map<uint32_t, corvane::AddedToken> by_id;
  std::map<uint32_t, std::string> cache;
  std::set<std::string> specials;
  std::vector<uint32_t> order;

  // The pattern each token is found by, in the order the ids were given out; the first of
  // equal patterns wins and empty ones never match.
  std::vector<std::pair<std::string, uint32_t>> patterns(bool normalized) const {
    std::vector<std::pair<std::string, uint32_t>> out;
    for (uint32_t id : order) {
      const corvane::AddedToken& t = by_id.at(id);
      if (t.normalized != normalized) continue;
      std::string p = normalized && cache.count(id) ? cache.at(id) : t.content;
      if (!p.empty()) out.emplace_back(p, id);
    }
    return out;
  }

  static std::u32string chars(std::string_view s) {
    std::u32string out;
    for (std::size_t i = 0; i < s.size();) out.push_back(corvane::next_char(s, i));
    return out;
  }
  static std::size_t utf8_len(char32_t c) { return corvane::utf8_length(c); }

  struct Split {
    int64_t id;
    std::size_t begin, end;
  };

  std::vector<Split> find_matches(const std::string& s, const std::vector<std::pair<std::string, uint32_t>>& pats) const {
    std::vector<Split> out;
    const std::size_t n = s.size();
    if (n == 0) return out;
    if (pats.empty()) return {{-1, 0, n}};
    std::size_t start_offset = 0;
    std::size_t pos = 0;
    while (true) {
      // Leftmost-longest: the first position where any pattern starts, the longest there.
      std::size_t mb = 0, me = 0;
      int64_t mid = -1;
      for (std::size_t i = pos; i < n && mid < 0; ++i) {
        std::size_t best = 0;
        for (const auto& [p, id] : pats) {
          if (s.compare(i, p.size(), p) == 0 && p.size() > best) {
            best = p.size();
            mid = id;
          }
        }
        if (mid >= 0) {
          mb = i;
          me = i + best;
        }
      }
      if (mid < 0) break;
      pos = me;
      const corvane::AddedToken& t = by_id.at(static_cast<uint32_t>(mid));
      std::size_t start = mb, stop = me;
      if (t.single_word) {
        const std::u32string before = chars(s.substr(0, start));
        const std::u32string after = chars(s.substr(stop));
        const bool start_space = start == 0 || !corvane::hf::is_word(before.back());
        const bool stop_space = stop == n || !corvane::hf::is_word(after.front());
        if (!start_space || !stop_space) continue;
      }
      if (t.lstrip) {
        // \s*$ on the prefix: where its trailing whitespace starts.
        const std::u32string before = chars(s.substr(0, start));
        std::size_t new_start = start;
        for (std::size_t k = before.size(); k-- > 0 && corvane::unicode::is_white_space(before[k]);) {
          new_start -= utf8_len(before[k]);
        }
        start = std::max(new_start, start_offset);
      }
      if (t.rstrip) {
        // ^\s* on the suffix.
        for (char32_t c : chars(s.substr(stop))) {
          if (!corvane::unicode::is_white_space(c)) break;
          stop += utf8_len(c);
        }
      }
      if (start_offset < start) out.push_back({-1, start_offset, start});
      out.push_back({mid, start, stop});
      start_offset = stop;
    }
    if (start_offset != n) out.push_back({-1, start_offset, n});
    for (const Split& sp : out) {
      if (sp.begin > sp.end) throw RefBadSplit{};
    }
    return out;
  }

  std::vector<RefPiece> extract(const std::string& text, const corvane::Normalizer* normalizer) const {
    std::vector<RefPiece> out;
    for (const Split& a : find_matches(text, patterns(false))) {
      if (a.begin == a.end) continue;
      const auto shift = static_cast<uint32_t>(a.begin);
      const std::string part_text = text.substr(a.begin, a.end - a.begin);
      if (a.id >= 0) {
        RefPiece p{part_text, {}, {shift, static_cast<uint32_t>(a.end)}, a.id};
        for (std::size_t i = 0; i < part_text.size();) {
          const std::size_t at = i;
          corvane::next_char(part_text, i);
          for (std::size_t k = at; k < i; ++k) p.spans.push_back({shift + uint32_t(at), shift + uint32_t(i)});
        }
        out.push_back(p);
        continue;
      }
      corvane::NormalizedText part(part_text);
      if (normalizer) normalizer->normalize(part);
      const std::string& norm = part.normalized();
      for (const Split& b : find_matches(norm, patterns(true))) {
        if (b.begin == b.end) continue;
        RefPiece p;
        p.normalized = norm.substr(b.begin, b.end - b.begin);
        for (std::size_t k = b.begin; k < b.end; ++k) {
          p.spans.push_back({part.alignments()[k].start + shift, part.alignments()[k].end + shift});
        }
        const uint32_t first = part.alignments()[b.begin].start;
        const uint32_t last = part.alignments()[b.end - 1].end;
        p.original = {shift + first, shift + (last < first ? first : last)};
        p.token = b.id;
        out.push_back(p);
      }
    }
    return out;
  }
};

}  // namespace fuzzref
