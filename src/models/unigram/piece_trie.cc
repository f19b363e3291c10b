#include "models/unigram/piece_trie.h"

#include <algorithm>

namespace corvane {

PieceTrie::PieceTrie(std::vector<std::pair<std::string_view, int32_t>> entries) {
  // Sorted by key, the last value of a repeated key first among its equals.
  std::vector<std::size_t> order(entries.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return entries[a].first < entries[b].first; });
  std::vector<std::pair<std::string_view, int32_t>> keys;
  keys.reserve(entries.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    const auto& e = entries[order[k]];
    if (e.first.empty()) continue;
    if (!keys.empty() && keys.back().first == e.first) {
      keys.back().second = e.second;  // the later entry wins
    } else {
      keys.push_back(e);
    }
    max_length_ = std::max(max_length_, e.first.size());
  }

  // Breadth first: each queued node covers the sorted keys [lo, hi) that share its first
  // `depth` bytes; its children are the groups of those keys by their next byte.
  struct Pending {
    uint32_t node;
    uint32_t lo, hi;
    uint32_t depth;
  };
  nodes_.push_back(Node{0, 0, -1, kNone});
  labels_.push_back(0);
  std::vector<Pending> queue;
  queue.push_back(Pending{0, 0, static_cast<uint32_t>(keys.size()), 0});
  for (std::size_t q = 0; q < queue.size(); ++q) {
    Pending p = queue[q];
    if (p.lo < p.hi && keys[p.lo].first.size() == p.depth) {
      nodes_[p.node].value = keys[p.lo].second;
      ++p.lo;
    }
    const auto first = static_cast<uint32_t>(nodes_.size());
    uint32_t count = 0;
    for (uint32_t i = p.lo; i < p.hi;) {
      const auto c = static_cast<unsigned char>(keys[i].first[p.depth]);
      uint32_t j = i + 1;
      while (j < p.hi && static_cast<unsigned char>(keys[j].first[p.depth]) == c) ++j;
      const auto child = static_cast<uint32_t>(nodes_.size());
      nodes_.push_back(Node{0, 0, -1, kNone});
      labels_.push_back(c);
      queue.push_back(Pending{child, i, j, p.depth + 1});
      ++count;
      i = j;
    }
    Node& n = nodes_[p.node];
    n.first_child = first;
    n.child_count = count;
    if (count >= kDenseFrom) {
      n.dense = static_cast<int32_t>(dense_.size() / 256);
      dense_.resize(dense_.size() + 256, kNone);
      for (uint32_t k = 0; k < count; ++k) {
        dense_[static_cast<std::size_t>(n.dense) * 256 + labels_[first + k]] = static_cast<int32_t>(first + k);
      }
    }
  }
  nodes_.shrink_to_fit();
  labels_.shrink_to_fit();
}

int32_t PieceTrie::find(std::string_view key) const {
  if (key.empty() || nodes_.empty()) return kNone;
  uint32_t node = 0;
  for (unsigned char c : key) {
    const int32_t next = child(node, c);
    if (next < 0) return kNone;
    node = static_cast<uint32_t>(next);
  }
  return nodes_[node].value;
}

}  // namespace corvane
