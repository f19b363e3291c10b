#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

// A byte trie over the pieces of a vocabulary, answering the one question a lattice model
// asks at each position of a text: which pieces start here, shortest first.
//
// Nodes are numbered breadth first, so the children of a node are consecutive and sorted
// by label; a node with many children also gets a direct 256-entry table. A step costs a
// table lookup or a scan of a few labels, and a search never builds a string.
//
// Built once, then only read (any number of threads may search at once).
class PieceTrie {
 public:
  static constexpr int32_t kNone = -1;

  PieceTrie() = default;
  // `entries` are (key, value) pairs, value >= 0; a key given twice keeps its last value.
  // The empty key is never found (no piece is empty), so it is left out.
  explicit PieceTrie(std::vector<std::pair<std::string_view, int32_t>> entries);

  // Calls fn(length, value) for each key that is a prefix of s[0, n), by increasing length.
  template <class Fn>
  void for_each_prefix(const unsigned char* s, std::size_t n, Fn&& fn) const {
    if (nodes_.empty()) return;
    uint32_t node = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const int32_t next = child(node, s[i]);
      if (next < 0) return;
      node = static_cast<uint32_t>(next);
      const int32_t v = nodes_[node].value;
      if (v >= 0) fn(i + 1, v);
    }
  }

  // The value of `key`, or kNone.
  int32_t find(std::string_view key) const;

  // The length of the longest key (0 for an empty trie).
  std::size_t max_length() const { return max_length_; }
  std::size_t node_count() const { return nodes_.size(); }

 private:
  struct Node {
    uint32_t first_child;  // index of the first child (children are consecutive)
    uint32_t child_count;  // 0..256
    int32_t dense;         // index into dense_ (a 256-entry table), or -1
    int32_t value;         // kNone when no key ends here
  };
  static constexpr uint32_t kDenseFrom = 12;  // children from which a node gets a table

  int32_t child(uint32_t node, unsigned char c) const {
    const Node& n = nodes_[node];
    if (n.dense >= 0) return dense_[static_cast<std::size_t>(n.dense) * 256 + c];
    const unsigned char* l = labels_.data() + n.first_child;
    for (uint32_t k = 0; k < n.child_count; ++k) {
      if (l[k] == c) return static_cast<int32_t>(n.first_child + k);
      if (l[k] > c) break;
    }
    return kNone;
  }

  std::vector<Node> nodes_;
  std::vector<unsigned char> labels_;  // label of each node (the byte leading to it)
  std::vector<int32_t> dense_;
  std::size_t max_length_ = 0;
};

}  // namespace corvane
