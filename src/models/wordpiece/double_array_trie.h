#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace corvane {

// A double-array trie over byte strings, each key carrying an id: the longest key that
// starts a text is found by one walk over its bytes, with no candidate string built and
// no hashing, and the walk never goes deeper than the longest key.
//
// The child of node `n` for byte `c` is cell `(cells()[n].base & kBaseMask) + c` when
// that cell's `check` is `n`; the top bit of `base` marks a node at which a key ends,
// whose id is id_at(n). Every cell a walk can reach lies inside the array, and the dead
// node kDead has no children at all, so a walk may start from it and match nothing.
//
// Immutable once built.
class DoubleArrayTrie {
 public:
  struct Cell {
    uint32_t base;  // children offset (0 for a node without children) | kFinal
    int32_t check;  // the parent node; -1 in an unused cell, a value no node has in the root
  };
  struct Key {
    const unsigned char* text;
    uint32_t len;
    int32_t id;
  };

  static constexpr int32_t kRoot = 0;
  static constexpr int32_t kDead = 1;
  static constexpr uint32_t kFinal = 0x80000000u;
  static constexpr uint32_t kBaseMask = 0x7fffffffu;

  // Builds the trie of `keys`, whose texts must be distinct (they stay owned by the
  // caller and are not needed afterwards). Throws std::length_error beyond 2^31 cells.
  void build(std::vector<Key> keys);

  const Cell* cells() const { return cells_.data(); }
  int32_t id_at(int32_t node) const { return ids_[static_cast<std::size_t>(node)]; }
  bool is_final(int32_t node) const { return (cells_[static_cast<std::size_t>(node)].base & kFinal) != 0; }

  // The child of `node` for byte `c`, or -1.
  int32_t child(int32_t node, unsigned char c) const {
    const auto next = static_cast<int32_t>((cells_[static_cast<std::size_t>(node)].base & kBaseMask) + c);
    return cells_[static_cast<std::size_t>(next)].check == node ? next : -1;
  }
  // The node reached from `node` by the bytes of `text`, or kDead.
  int32_t walk(int32_t node, std::string_view text) const;

 private:
  std::vector<Cell> cells_;
  std::vector<int32_t> ids_;  // per node: the id of the key ending there, or -1
};

}  // namespace corvane
