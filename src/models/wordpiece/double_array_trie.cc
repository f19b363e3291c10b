#include "models/wordpiece/double_array_trie.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <stdexcept>

namespace corvane {

namespace {

// Check values other than a parent node: the root cell, and an unused cell (while the trie
// is built, an unused cell's check counts down below kFree).
constexpr int32_t kNoParent = 0x7fffffff;
constexpr int32_t kFree = -1;
// Trie building: marks a free cell that is not in the free list; ends the free list; how
// often a free cell may fail to take the first child of a node before it leaves the list.
constexpr int32_t kUnlisted = -2;
constexpr uint32_t kEndOfList = 0xffffffffu;
constexpr int32_t kMaxMisses = 8;

}  // namespace

// Builds a double-array trie over the distinct token texts, each final node carrying the
// id that the text maps to. The longest vocabulary piece at a position is then found by
// one walk over the bytes, with no candidate string built and no hashing; the walk can
// never go deeper than the longest token.
void DoubleArrayTrie::build(std::vector<Key> keys) {
  const std::size_t n = keys.size();
  // Ranges at depth d live in buffer d % 2: sorting a range at depth d moves its keys into
  // the other buffer, where its children find them.
  std::vector<Key> other(n);
  Key* const buffers[2] = {keys.data(), other.data()};
  // Cells are placed straight into `cells_`, with the ids in `ids_`. Unused cells from
  // 256 on form a list in ascending order, so the search for a base visits free cells only:
  // an unused cell keeps the link to the next in `base` and to the previous in its
  // `ids_` entry, and counts in `check` (below kFree) how often it failed to take the
  // first child of a node. Cells 1 to 255 stay unused: every base is at least 1 because
  // every listed cell is above any byte, and a node without children keeps base 0, so a
  // walk from it lands on one of those cells, whose check matches no node.
  cells_.clear();
  ids_.clear();
  int32_t free_head = -1, free_tail = -1;
  auto grow = [&](std::size_t size) {
    if (size > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
      throw std::length_error("vocabulary too large");
    }
    const std::size_t old = cells_.size();
    cells_.resize(size, Cell{0, kFree});
    ids_.resize(size, kUnlisted);
    for (std::size_t i = std::max<std::size_t>(old, 256); i < size; ++i) {
      const auto c = static_cast<int32_t>(i);
      ids_[i] = free_tail;
      if (free_tail >= 0) {
        cells_[static_cast<std::size_t>(free_tail)].base = static_cast<uint32_t>(c);
      } else {
        free_head = c;
      }
      free_tail = c;
    }
    if (free_tail >= 0) cells_[static_cast<std::size_t>(free_tail)].base = kEndOfList;
  };
  auto next_free = [&](int32_t c) {
    const uint32_t next = cells_[static_cast<std::size_t>(c)].base;
    return next == kEndOfList ? -1 : static_cast<int32_t>(next);
  };
  auto unlink = [&](std::size_t c) {
    const int32_t next = next_free(static_cast<int32_t>(c)), prev = ids_[c];
    if (prev >= 0) {
      cells_[static_cast<std::size_t>(prev)].base = next >= 0 ? static_cast<uint32_t>(next) : kEndOfList;
    } else {
      free_head = next;
    }
    if (next >= 0) ids_[static_cast<std::size_t>(next)] = prev; else free_tail = prev;
    ids_[c] = kUnlisted;
  };
  // Makes `cell` the child of `parent`.
  auto take = [&](int32_t cell, int32_t parent) {
    const auto c = static_cast<std::size_t>(cell);
    if (ids_[c] != kUnlisted) unlink(c);
    cells_[c] = Cell{0, parent};
    ids_[c] = -1;
  };
  // A listed free cell with at least 256 cells after it.
  auto free_cell = [&](int32_t f) {
    if (f < 0 || static_cast<std::size_t>(f) + 256 >= cells_.size()) {
      const int32_t last = free_tail;
      grow(cells_.size() * 2);
      if (f < 0) f = last >= 0 ? next_free(last) : free_head;
    }
    return f;
  };
  auto set_id = [&](int32_t node, int32_t id) {
    cells_[static_cast<std::size_t>(node)].base |= kFinal;
    ids_[static_cast<std::size_t>(node)] = id;
  };
  grow(std::max<std::size_t>(1024, n * 5 / 2));
  cells_[kRoot] = Cell{0, kNoParent};
  ids_[kRoot] = -1;
  int32_t max_base = 0;

  // Finds a base at which every label's cell is free; labels are ascending.
  auto find_base = [&](const unsigned char* labels, std::size_t count) -> int32_t {
    for (int32_t f = free_cell(free_head), next;; f = free_cell(next)) {
      next = next_free(f);
      const std::size_t base = static_cast<std::size_t>(f) - labels[0];
      bool fits = true;
      for (std::size_t k = 1; k < count && fits; ++k) fits = cells_[base + labels[k]].check <= kFree;
      if (fits) return static_cast<int32_t>(base);
      // A free cell that keeps failing lies among used ones; it leaves the list, so that
      // the search does not grow with the number of nodes placed. It may still become a
      // later child of some node.
      if (--cells_[static_cast<std::size_t>(f)].check == kFree - kMaxMisses) {
        unlink(static_cast<std::size_t>(f));
      }
    }
  };
  auto add_child = [&](int32_t node, int32_t base, unsigned char label) {
    uint32_t& node_base = cells_[static_cast<std::size_t>(node)].base;
    node_base = (node_base & kFinal) | static_cast<uint32_t>(base);
    if (base > max_base) max_base = base;
    const int32_t child = base + label;
    take(child, node);
    return child;
  };

  // Depth first over ranges of keys that share their first `depth` bytes. Each range is
  // ordered by its byte at `depth` when its node is placed (a radix sort spread over the
  // walk), the key that ends at `depth`, if any, first.
  struct Pending {
    int32_t node;
    uint32_t lo, hi, depth;
  };
  std::vector<Pending> stack;
  if (n > 0) stack.push_back(Pending{kRoot, 0, static_cast<uint32_t>(n), 0});
  unsigned char labels[256];
  uint32_t bounds[257];
  uint32_t tally[257] = {};
  std::vector<uint16_t> slot_of(n);
  while (!stack.empty()) {
    const Pending job = stack.back();
    stack.pop_back();
    const uint32_t d = job.depth;
    // The byte at `d`, or -1 for the key that ends there.
    auto key_at = [d](const Key& k) -> int { return k.len == d ? -1 : k.text[d]; };
    if (job.hi - job.lo == 1) {
      // A single key: its remaining bytes form a chain of one-child nodes.
      const Key& k = buffers[d & 1][job.lo];
      int32_t node = job.node;
      for (uint32_t i = d; i < k.len; ++i) {
        node = add_child(node, free_cell(free_head) - k.text[i], k.text[i]);
      }
      set_id(node, k.id);
      continue;
    }
    // Orders the range by key_at with a counting sort into the other buffer, the key that
    // ends here (if any) first, and lists the distinct bytes (`labels`) with the start of
    // each one's run (`bounds`). Slot u of `tally` and bit u of `present` stand for
    // key_at + 1; only the slots of the bytes present are visited, and they are zero again
    // afterwards.
    const uint32_t m = job.hi - job.lo;
    const Key* const range = buffers[d & 1] + job.lo;
    Key* const sorted = buffers[(d + 1) & 1];
    uint64_t present[5] = {0, 0, 0, 0, 0};
    for (uint32_t i = 0; i < m; ++i) {
      const auto u = static_cast<uint32_t>(key_at(range[i]) + 1);
      slot_of[i] = static_cast<uint16_t>(u);
      ++tally[u];
      present[u >> 6] |= uint64_t{1} << (u & 63);
    }
    std::size_t count = 0;
    uint32_t next = job.lo;
    for (uint32_t w = 0; w < 5; ++w) {
      for (uint64_t bits = present[w]; bits != 0; bits &= bits - 1) {
        const uint32_t u = w * 64 + static_cast<uint32_t>(std::countr_zero(bits));
        if (u > 0) {
          labels[count] = static_cast<unsigned char>(u - 1);
          bounds[count] = next;
          ++count;
        }
        const uint32_t run = tally[u];
        tally[u] = next;
        next += run;
      }
    }
    for (uint32_t i = 0; i < m; ++i) sorted[tally[slot_of[i]]++] = range[i];
    tally[0] = 0;
    for (std::size_t k = 0; k < count; ++k) tally[labels[k] + 1u] = 0;
    if (sorted[job.lo].len == d) set_id(job.node, sorted[job.lo].id);
    bounds[count] = job.hi;
    const int32_t base = find_base(labels, count);
    for (std::size_t k = count; k-- > 0;) {
      const int32_t child = add_child(job.node, base, labels[k]);
      stack.push_back(Pending{child, bounds[k], bounds[k + 1], d + 1});
    }
  }
  // Every cell a walk can reach, base + any byte, lies inside the array; unused cells get
  // plain contents.
  const std::size_t size = static_cast<std::size_t>(max_base) + 256;
  cells_.resize(size);
  ids_.resize(size);
  for (std::size_t i = 0; i < size; ++i) {
    if (cells_[i].check <= kFree) {
      cells_[i] = Cell{0, kFree};
      ids_[i] = -1;
    }
  }
  if (cells_.capacity() > size + size / 4) {
    cells_.shrink_to_fit();
    ids_.shrink_to_fit();
  }
}

int32_t DoubleArrayTrie::walk(int32_t node, std::string_view text) const {
  for (unsigned char c : text) {
    const int32_t next = child(node, c);
    if (next < 0) return kDead;
    node = next;
  }
  return node;
}

}  // namespace corvane
