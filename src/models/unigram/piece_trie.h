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
// A double array: the child of node s by byte c is at base[s] + c when check there names
// s, so a step is two array reads and a search never builds a string. Built once from the
// sorted keys (first fit over a list of free positions), then only read (any number of
// threads may search at once).
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
    if (units_.empty()) return;
    uint32_t node = 0;
    const Unit* u = units_.data();
    const std::size_t size = units_.size();
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t next = static_cast<std::size_t>(u[node].base) + s[i];
      if (next >= size || u[next].check != node) return;
      node = static_cast<uint32_t>(next);
      if (u[node].value >= 0) fn(i + 1, u[node].value);
    }
  }

  // The value of `key`, or kNone.
  int32_t find(std::string_view key) const;

  // The length of the longest key (0 for an empty trie).
  std::size_t max_length() const { return max_length_; }
  std::size_t size() const { return units_.size(); }

 private:
  struct Unit {
    uint32_t base = 0;       // children at base + byte
    uint32_t check = ~0u;    // the parent's position, ~0 for a free position
    int32_t value = kNone;   // the value of the key ending here
  };
  std::vector<Unit> units_;
  std::size_t max_length_ = 0;
};

}  // namespace corvane
