#pragma once

// Straightforward Unigram segmentation, for differential fuzzing only: at every character
// boundary, every candidate substring is built and looked up in an ordered map; the rules
// (ties, unknown runs, byte fallback) are the peer's, stated plainly.

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fuzzref {

struct UnigramToken {
  uint32_t id;
  uint32_t begin;
  uint32_t end;
  bool operator==(const UnigramToken&) const = default;
};

struct UnigramVocab {
  std::vector<std::pair<std::string, double>> pieces;
  std::optional<std::size_t> unk_id;
  bool byte_fallback = false;
};

inline std::size_t utf8_len(unsigned char b) { return b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4; }

// Throws std::runtime_error where the peer fails (an unknown character to be taken with no
// unknown token).
inline std::vector<UnigramToken> unigram_encode(const UnigramVocab& v, const std::string& text) {
  std::map<std::string, std::size_t> ids;  // the last id of each piece
  double min_score = 1e300;
  std::size_t longest = 0;  // no candidate longer than the longest piece can be found
  for (std::size_t i = 0; i < v.pieces.size(); ++i) {
    ids[v.pieces[i].first] = i;
    longest = std::max(longest, v.pieces[i].first.size());
    if (v.pieces[i].second < min_score) min_score = v.pieces[i].second;
  }
  const double unk_score = min_score - 10.0;
  struct Node {
    double score = 0.0;
    long start = -1;
    std::size_t id = 0;
  };
  const std::size_t n = text.size();
  std::vector<Node> best(n + 1);
  for (std::size_t start = 0; start < n;) {
    const std::size_t len1 = utf8_len(static_cast<unsigned char>(text[start]));
    bool single = false;
    for (std::size_t len = 1; start + len <= n && len <= longest; ++len) {
      const std::string candidate = text.substr(start, len);
      const auto it = ids.find(candidate);
      if (it == ids.end() || candidate.empty()) continue;
      const double s = v.pieces[it->second].second + best[start].score;
      if (best[start + len].start < 0 || s > best[start + len].score) {
        best[start + len] = Node{s, static_cast<long>(start), it->second};
      }
      if (len == len1) single = true;
    }
    if (!single) {
      const double s = unk_score + best[start].score;
      if (best[start + len1].start < 0 || s > best[start + len1].score) {
        if (!v.unk_id) throw std::runtime_error("Encountered an unknown token but `unk_id` is missing");
        best[start + len1] = Node{s, static_cast<long>(start), *v.unk_id};
      }
    }
    start += len1;
  }
  // The path, then runs of unknown tokens joined.
  std::vector<UnigramToken> raw;
  for (std::size_t end = n; end > 0; end = static_cast<std::size_t>(best[end].start)) {
    raw.push_back({static_cast<uint32_t>(best[end].id), static_cast<uint32_t>(best[end].start),
                   static_cast<uint32_t>(end)});
  }
  std::vector<UnigramToken> fused;
  for (std::size_t k = raw.size(); k-- > 0;) {
    const UnigramToken t = raw[k];
    const bool unk = v.unk_id && t.id == *v.unk_id;
    const bool prev_unk = !fused.empty() && v.unk_id && fused.back().id == *v.unk_id;
    if (unk && prev_unk) {
      fused.back().end = t.end;
    } else {
      fused.push_back(t);
    }
  }
  // Each token's text looked up again: a joined run that is no piece goes to bytes or unk.
  std::vector<UnigramToken> out;
  for (const UnigramToken& t : fused) {
    const std::string s = text.substr(t.begin, t.end - t.begin);
    const auto it = ids.find(s);
    if (it != ids.end()) {
      out.push_back({static_cast<uint32_t>(it->second), t.begin, t.end});
      continue;
    }
    if (v.byte_fallback) {
      std::vector<UnigramToken> bytes;
      for (unsigned char c : s) {
        static const char* hex = "0123456789ABCDEF";
        const std::string name = std::string("<0x") + hex[c >> 4] + hex[c & 15] + ">";
        const auto b = ids.find(name);
        if (b == ids.end()) break;
        bytes.push_back({static_cast<uint32_t>(b->second), t.begin, t.end});
      }
      if (bytes.size() == s.size()) {
        out.insert(out.end(), bytes.begin(), bytes.end());
        continue;
      }
    }
    if (!v.unk_id) throw std::runtime_error("Encountered an unknown token but `unk_id` is missing");
    out.push_back({static_cast<uint32_t>(*v.unk_id), t.begin, t.end});
  }
  return out;
}

}  // namespace fuzzref
