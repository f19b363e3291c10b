#include "added_tokens/token_matcher.h"

#include <algorithm>
#include <map>
#include <stdexcept>

namespace corvane {

TokenMatcher::TokenMatcher(const std::vector<std::pair<std::string_view, uint32_t>>& patterns) {
  // Built as a map-based trie first, then laid out flat with each node's edges sorted.
  struct BuildNode {
    std::map<unsigned char, uint32_t> next;
    uint32_t value = kNone;
    bool terminal = false;
  };
  std::vector<BuildNode> build(1);
  for (const auto& [bytes, value] : patterns) {
    if (bytes.empty()) continue;
    uint32_t node = 0;
    for (const char ch : bytes) {
      const auto b = static_cast<unsigned char>(ch);
      const auto it = build[node].next.find(b);
      if (it != build[node].next.end()) {
        node = it->second;
        continue;
      }
      if (build.size() >= kNone) throw std::length_error("too many added tokens to match");
      const auto fresh = static_cast<uint32_t>(build.size());
      build[node].next.emplace(b, fresh);
      build.emplace_back();
      node = fresh;
    }
    if (!build[node].terminal) {
      build[node].terminal = true;
      build[node].value = value;
    }
  }
  if (build.size() <= 1) return;
  nodes_.resize(build.size());
  for (std::size_t i = 0; i < build.size(); ++i) {
    Node& n = nodes_[i];
    n.first_edge = static_cast<uint32_t>(edges_.size());
    n.edge_count = static_cast<uint32_t>(build[i].next.size());
    n.value = build[i].value;
    n.terminal = build[i].terminal;
    for (const auto& [b, c] : build[i].next) edges_.push_back(Edge{b, c});
  }
  root_next_.assign(256, kNone);
  for (const auto& [b, c] : build[0].next) root_next_[b] = c;
}

uint32_t TokenMatcher::child(uint32_t node, unsigned char byte) const {
  const Node& n = nodes_[node];
  const Edge* begin = edges_.data() + n.first_edge;
  const Edge* end = begin + n.edge_count;
  if (n.edge_count <= 8) {
    for (const Edge* e = begin; e != end; ++e) {
      if (e->byte == byte) return e->child;
    }
    return kNone;
  }
  const Edge* e = std::lower_bound(begin, end, byte, [](const Edge& a, unsigned char b) { return a.byte < b; });
  return e != end && e->byte == byte ? e->child : kNone;
}

bool TokenMatcher::find(std::string_view text, std::size_t from, Match& match) const {
  if (empty()) return false;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = from; i < n; ++i) {
    uint32_t node = root_next_[s[i]];
    if (node == kNone) continue;
    std::size_t best_end = 0;
    uint32_t best_value = kNone;
    bool found = false;
    for (std::size_t j = i + 1;; ++j) {
      if (nodes_[node].terminal) {
        found = true;
        best_end = j;
        best_value = nodes_[node].value;
      }
      if (j >= n) break;
      node = child(node, s[j]);
      if (node == kNone) break;
    }
    if (found) {
      match = Match{i, best_end, best_value};
      return true;
    }
  }
  return false;
}

}  // namespace corvane
