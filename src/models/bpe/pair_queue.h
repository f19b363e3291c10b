#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane {

// The priority queue of the merge loop: pairs keyed by (rank, start), lowest rank first and
// leftmost first among equal ranks.
//
// Merging visits pairs in an order that is nearly sorted already: the pairs of a word are
// queued from left to right, and a join queues its new pairs next to where the previous
// join of the same rank happened. So the queue keeps one first-in-first-out list of starts
// per rank, appended to while the starts arrive in increasing order, plus a small heap over
// the lists' heads; a pair that arrives out of order goes to an ordinary heap instead. Pops
// come out in exactly the order of a single heap over all keys, at a fraction of the cost
// on long words.
class PairQueue {
 public:
  void clear() {
    buckets_.clear();
    heads_.clear();
    spill_.clear();
    slots_.assign(kInitialSlots, kNoBucket);
  }

  void push(int32_t rank, uint32_t start) {
    const uint32_t b = bucket_of(rank);
    Bucket& bk = buckets_[b];
    if (bk.head == bk.starts.size()) {
      // Empty list: restart it with this start and put it back among the heads.
      bk.starts.clear();
      bk.head = 0;
      bk.starts.push_back(start);
      heads_push(b);
    } else if (start > bk.starts.back()) {
      bk.starts.push_back(start);
    } else {
      spill_.push_back(key(rank, start));
      std::push_heap(spill_.begin(), spill_.end(), std::greater<uint64_t>());
    }
  }

  bool empty() const { return heads_.empty() && spill_.empty(); }

  // Removes and returns the smallest (rank, start).
  void pop(int32_t& rank, uint32_t& start) {
    const uint64_t from_heads = heads_.empty() ? ~0ull : head_key(heads_.front());
    const uint64_t from_spill = spill_.empty() ? ~0ull : spill_.front();
    uint64_t k;
    if (from_spill < from_heads) {
      std::pop_heap(spill_.begin(), spill_.end(), std::greater<uint64_t>());
      k = spill_.back();
      spill_.pop_back();
    } else {
      k = from_heads;
      Bucket& bk = buckets_[heads_.front()];
      ++bk.head;
      if (bk.head == bk.starts.size()) {
        heads_pop();
      } else {
        heads_sift_down(0);
      }
    }
    rank = static_cast<int32_t>(static_cast<uint32_t>(k >> 32) ^ 0x80000000u);
    start = static_cast<uint32_t>(k);
  }

 private:
  static constexpr uint32_t kNoBucket = ~0u;
  static constexpr std::size_t kInitialSlots = 64;

  struct Bucket {
    int32_t rank;
    std::size_t head;
    std::vector<uint32_t> starts;
  };

  static uint64_t key(int32_t rank, uint32_t start) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(rank) ^ 0x80000000u) << 32) | start;
  }
  uint64_t head_key(uint32_t b) const {
    const Bucket& bk = buckets_[b];
    return key(bk.rank, bk.starts[bk.head]);
  }

  // rank -> bucket, open addressing over slots_ (kept at most half full).
  uint32_t bucket_of(int32_t rank) {
    std::size_t mask = slots_.size() - 1;
    std::size_t i = hash(rank) & mask;
    while (slots_[i] != kNoBucket) {
      if (buckets_[slots_[i]].rank == rank) return slots_[i];
      i = (i + 1) & mask;
    }
    const uint32_t b = static_cast<uint32_t>(buckets_.size());
    buckets_.push_back(Bucket{rank, 0, {}});
    slots_[i] = b;
    if (buckets_.size() * 2 > slots_.size()) rehash();
    return b;
  }
  static std::size_t hash(int32_t rank) {
    return static_cast<std::size_t>((static_cast<uint64_t>(static_cast<uint32_t>(rank)) * 0x9E3779B97F4A7C15ull) >> 32);
  }
  void rehash() {
    slots_.assign(slots_.size() * 2, kNoBucket);
    const std::size_t mask = slots_.size() - 1;
    for (uint32_t b = 0; b < buckets_.size(); ++b) {
      std::size_t i = hash(buckets_[b].rank) & mask;
      while (slots_[i] != kNoBucket) i = (i + 1) & mask;
      slots_[i] = b;
    }
  }

  // Binary heap of bucket numbers ordered by their head keys.
  void heads_push(uint32_t b) {
    std::size_t i = heads_.size();
    heads_.push_back(b);
    const uint64_t k = head_key(b);
    while (i > 0) {
      const std::size_t parent = (i - 1) / 2;
      if (head_key(heads_[parent]) <= k) break;
      heads_[i] = heads_[parent];
      i = parent;
    }
    heads_[i] = b;
  }
  void heads_pop() {
    heads_.front() = heads_.back();
    heads_.pop_back();
    if (!heads_.empty()) heads_sift_down(0);
  }
  void heads_sift_down(std::size_t i) {
    const std::size_t n = heads_.size();
    const uint32_t b = heads_[i];
    const uint64_t k = head_key(b);
    for (;;) {
      std::size_t c = 2 * i + 1;
      if (c >= n) break;
      uint64_t ck = head_key(heads_[c]);
      if (c + 1 < n) {
        const uint64_t rk = head_key(heads_[c + 1]);
        if (rk < ck) {
          ++c;
          ck = rk;
        }
      }
      if (ck >= k) break;
      heads_[i] = heads_[c];
      i = c;
    }
    heads_[i] = b;
  }

  std::vector<Bucket> buckets_;
  std::vector<uint32_t> slots_ = std::vector<uint32_t>(kInitialSlots, kNoBucket);
  std::vector<uint32_t> heads_;
  std::vector<uint64_t> spill_;
};

}  // namespace corvane
