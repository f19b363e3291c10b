#include "added_tokens/special_tokens.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>

namespace corvane {

void SpecialTokens::add(std::string_view text, int32_t id) {
  if (text.empty()) throw std::invalid_argument("a special token must not be empty");
  if (!index_.emplace(std::string(text), static_cast<uint32_t>(texts_.size())).second) {
    throw std::invalid_argument("a special token is given twice");
  }
  texts_.emplace_back(text);
  ids_.push_back(id);
}

void SpecialTokens::finish() {
  by_id_.clear();
  for (std::size_t i = 0; i < texts_.size(); ++i) by_id_.emplace(ids_[i], static_cast<uint32_t>(i));  // first wins
  // The trie, built with ordered child maps, then laid out flat with each node's edges
  // sorted by byte.
  std::vector<std::map<unsigned char, uint32_t>> children(1);
  std::vector<int32_t> ends(1, -1);
  for (std::size_t i = 0; i < texts_.size(); ++i) {
    uint32_t node = 0;
    for (unsigned char c : texts_[i]) {
      auto it = children[node].find(c);
      if (it == children[node].end()) {
        const uint32_t fresh = static_cast<uint32_t>(children.size());
        children[node].emplace(c, fresh);
        children.emplace_back();
        ends.push_back(-1);
        node = fresh;
      } else {
        node = it->second;
      }
    }
    ends[node] = static_cast<int32_t>(i);
  }
  nodes_.assign(children.size(), Node{});
  edges_.clear();
  for (std::size_t v = 0; v < children.size(); ++v) {
    nodes_[v].first_edge = static_cast<uint32_t>(edges_.size());
    nodes_[v].edges = static_cast<uint32_t>(children[v].size());
    nodes_[v].token = ends[v];
    for (const auto& [c, child] : children[v]) edges_.push_back(Edge{c, child});
  }
  std::fill(std::begin(starts_), std::end(starts_), false);
  for (const Edge* e = edges_.data(); e != edges_.data() + nodes_[0].edges; ++e) starts_[e->byte] = true;
  single_start_ = nodes_[0].edges == 1 ? edges_[0].byte : -1;
}

int64_t SpecialTokens::index_of(std::string_view text) const {
  const auto it = index_.find(std::string(text));
  return it == index_.end() ? -1 : static_cast<int64_t>(it->second);
}

bool SpecialTokens::token_of(int32_t id, std::string_view& out) const {
  const auto it = by_id_.find(id);
  if (it == by_id_.end()) return false;
  out = texts_[it->second];
  return true;
}

SpecialTokens::TokenSet SpecialTokens::all() const {
  TokenSet set(texts_.size());
  for (std::size_t i = 0; i < texts_.size(); ++i) set.set(i);
  return set;
}

int64_t SpecialTokens::longest_at(std::string_view text, std::size_t p, const TokenSet& set) const {
  int64_t best = -1;
  uint32_t node = 0;
  for (std::size_t i = p; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const Node& v = nodes_[node];
    const Edge* first = edges_.data() + v.first_edge;
    const Edge* last = first + v.edges;
    const Edge* e;
    if (v.edges <= 8) {
      e = first;
      while (e != last && e->byte != c) ++e;
    } else {
      e = std::lower_bound(first, last, c, [](const Edge& x, unsigned char b) { return x.byte < b; });
      if (e != last && e->byte != c) e = last;
    }
    if (e == last) break;
    node = e->child;
    const int32_t t = nodes_[node].token;
    if (t >= 0 && set.has(static_cast<std::size_t>(t))) best = t;
  }
  return best;
}

std::size_t SpecialTokens::next_start(const unsigned char* s, std::size_t from, std::size_t n) const {
  if (single_start_ >= 0) {
    const void* hit = std::memchr(s + from, single_start_, n - from);
    return hit ? static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - s) : n;
  }
  while (from < n && !starts_[s[from]]) ++from;
  return from;
}

bool SpecialTokens::find(std::string_view text, std::size_t from, const TokenSet& set, std::size_t& pos,
                         std::size_t& index) const {
  if (texts_.empty() || set.empty()) return false;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t p = next_start(s, from, n); p < n; p = next_start(s, p + 1, n)) {
    const int64_t t = longest_at(text, p, set);
    if (t >= 0) {
      pos = p;
      index = static_cast<std::size_t>(t);
      return true;
    }
  }
  return false;
}

}  // namespace corvane
