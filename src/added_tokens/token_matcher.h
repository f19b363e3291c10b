#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

// Finds a fixed set of byte strings in a text with leftmost-longest semantics: the match
// that starts first, the longest of those that start there, then the next match from its
// end on. A byte trie built once; a search tries each position of the text in turn, so it
// costs the length of the text times the length of the longest partial match at worst (as
// the leftmost automata of the peers do).
//
// Immutable once built; safe to share between threads.
class TokenMatcher {
 public:
  struct Match {
    std::size_t begin;
    std::size_t end;
    uint32_t value;
  };

  TokenMatcher() = default;
  // `patterns` are (bytes, value) pairs. Empty patterns are left out; of equal patterns, the
  // first one's value is kept.
  explicit TokenMatcher(const std::vector<std::pair<std::string_view, uint32_t>>& patterns);

  bool empty() const { return nodes_.size() <= 1; }

  // The leftmost-longest match in `text` that starts at `from` or later; false when none.
  bool find(std::string_view text, std::size_t from, Match& match) const;

 private:
  static constexpr uint32_t kNone = UINT32_MAX;

  struct Node {
    uint32_t first_edge = 0;  // edges [first_edge, first_edge + edge_count) of edges_
    uint32_t edge_count = 0;
    uint32_t value = kNone;   // the value of the pattern ending here, if one does
    bool terminal = false;
  };
  struct Edge {
    unsigned char byte;
    uint32_t child;
  };

  // The child of `node` on `byte`, or kNone.
  uint32_t child(uint32_t node, unsigned char byte) const;

  std::vector<Node> nodes_;         // nodes_[0] is the root
  std::vector<Edge> edges_;         // per node, sorted by byte
  std::vector<uint32_t> root_next_; // the root's children by first byte (256 entries)
};

}  // namespace corvane
