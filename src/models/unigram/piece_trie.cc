#include "models/unigram/piece_trie.h"

#include <algorithm>
#include <stdexcept>

namespace corvane {

namespace {

// Failed first-fit tries after which a free position leaves the list of candidates.
constexpr uint8_t kMaxFailures = 16;

}  // namespace

PieceTrie::PieceTrie(std::vector<std::pair<std::string_view, int32_t>> entries) {
  // Sorted by key; a repeated key keeps the value given last. The sort compares the first
  // eight bytes as one number and only equal heads as strings.
  struct Order {
    uint64_t head;
    uint32_t index;
  };
  std::vector<Order> order(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string_view k = entries[i].first;
    uint64_t head = 0;
    for (std::size_t b = 0; b < 8; ++b) {
      head = (head << 8) | (b < k.size() ? static_cast<unsigned char>(k[b]) : 0u);
    }
    order[i] = Order{head, static_cast<uint32_t>(i)};
  }
  std::sort(order.begin(), order.end(), [&](const Order& a, const Order& b) {
    if (a.head != b.head) return a.head < b.head;
    const int c = entries[a.index].first.compare(entries[b.index].first);
    return c != 0 ? c < 0 : a.index < b.index;
  });
  std::vector<std::pair<std::string_view, int32_t>> keys;
  keys.reserve(entries.size());
  for (const Order& o : order) {
    const auto& e = entries[o.index];
    if (e.first.empty()) continue;
    if (!keys.empty() && keys.back().first == e.first) {
      keys.back().second = e.second;
    } else {
      keys.push_back(e);
    }
    max_length_ = std::max(max_length_, e.first.size());
  }

  // Free positions form a doubly linked list (by index) so that first fit skips used ones.
  std::vector<uint32_t> next_free, prev_free;
  std::vector<uint8_t> in_list, failures;  // see unlink below
  auto grow = [&](std::size_t want) {
    const std::size_t old = units_.size();
    if (want <= old) return;
    std::size_t size = std::max<std::size_t>(want, old * 2 + 256);
    units_.resize(size);
    next_free.resize(size);
    prev_free.resize(size);
    in_list.resize(size, 1);
    failures.resize(size, 0);
    for (std::size_t i = old; i < size; ++i) {
      next_free[i] = static_cast<uint32_t>(i + 1);
      prev_free[i] = static_cast<uint32_t>(i - 1);
    }
    // The list runs from head (position 0 is the root, never free) to the end.
    if (old > 0) {
      // Link the last free position of the old range to the new range.
      uint32_t last = 0;
      for (uint32_t p = next_free[0]; p < old; p = next_free[p]) last = p;
      next_free[last] = static_cast<uint32_t>(old);
      prev_free[old] = last;
    }
  };
  // A free position stays in the list while it may still be the first child's place; one
  // that failed as such many times is dropped from the list (it stays free for other
  // children), so that later searches do not walk the crowded front again and again.
  auto unlink = [&](uint32_t p) {
    next_free[prev_free[p]] = next_free[p];
    if (next_free[p] < units_.size()) prev_free[next_free[p]] = prev_free[p];
    in_list[p] = 0;
  };
  auto take = [&](uint32_t p) {
    if (in_list[p]) unlink(p);
  };
  grow(256);
  units_[0].check = 0;  // the root
  in_list[0] = 0;
  next_free[0] = 1;
  prev_free[1] = 0;

  // Breadth first: each node covers the sorted keys [lo, hi) sharing its first `depth`
  // bytes; its children are their groups by the next byte.
  struct Pending {
    uint32_t pos;
    uint32_t lo, hi;
    uint32_t depth;
  };
  std::vector<Pending> queue{Pending{0, 0, static_cast<uint32_t>(keys.size()), 0}};
  std::vector<std::pair<unsigned char, std::pair<uint32_t, uint32_t>>> children;
  for (std::size_t q = 0; q < queue.size(); ++q) {
    Pending p = queue[q];
    if (p.lo < p.hi && keys[p.lo].first.size() == p.depth) {
      units_[p.pos].value = keys[p.lo].second;
      ++p.lo;
    }
    children.clear();
    for (uint32_t i = p.lo; i < p.hi;) {
      const auto c = static_cast<unsigned char>(keys[i].first[p.depth]);
      uint32_t j = i + 1;
      while (j < p.hi && static_cast<unsigned char>(keys[j].first[p.depth]) == c) ++j;
      children.push_back({c, {i, j}});
      i = j;
    }
    if (children.empty()) continue;
    // First fit: the lowest base whose positions for all the children are free.
    const unsigned first = children.front().first;
    uint32_t base = 0;
    for (uint32_t f = next_free[0];;) {
      if (f >= units_.size()) grow(f + 257);
      const uint32_t after = next_free[f];
      if (f >= first + 1) {  // base must be at least 1
        base = f - first;
        if (base + 256 > units_.size()) grow(base + 257);
        bool fits = true;
        for (std::size_t k = 1; k < children.size() && fits; ++k) {
          fits = units_[base + children[k].first].check == ~0u;
        }
        if (fits) break;
      }
      if (++failures[f] >= kMaxFailures) unlink(f);
      f = after;
    }
    units_[p.pos].base = base;
    for (const auto& [c, range] : children) {
      const uint32_t pos = base + c;
      take(pos);
      units_[pos].check = p.pos;
      queue.push_back(Pending{pos, range.first, range.second, p.depth + 1});
    }
  }
  // Trim the free tail (a search checks the bounds).
  std::size_t used = units_.size();
  while (used > 1 && units_[used - 1].check == ~0u) --used;
  units_.resize(used);
  units_.shrink_to_fit();
}

int32_t PieceTrie::find(std::string_view key) const {
  int32_t found = kNone;
  for_each_prefix(reinterpret_cast<const unsigned char*>(key.data()), key.size(), [&](std::size_t len, int32_t v) {
    if (len == key.size()) found = v;
  });
  return found;
}

}  // namespace corvane
