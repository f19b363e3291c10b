#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/vocabulary.h"

namespace corvane {

// The ranked merge rules of a tokenizer.json file: (left, right) -> rank, a lower rank
// merging first; a later rule for the same pair replaces the rank of an earlier one.
//
// Every text that can ever be a piece during merging (each single byte, and the left, right
// and joined text of every rule) gets a small integer symbol when the table is built, so
// the merge loop asks about a pair with one 64-bit hash lookup instead of comparing strings,
// and knows the symbol of the joined piece at once.
class MergeTable {
 public:
  void add(std::string_view left, std::string_view right, int32_t rank);
  // Resolves every symbol's id in `vocab` (0 for texts that are not vocabulary keys).
  void finish(const Vocabulary& vocab);

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }

  int32_t byte_symbol(unsigned char b) const { return static_cast<int32_t>(b); }
  // Rank and joined symbol of the pair (left, right), if the pair is ranked.
  bool find(int32_t left, int32_t right, int32_t& rank, int32_t& joined) const {
    if (slots_.empty()) return false;
    const uint64_t key = pair_key(left, right);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = slot_of(key) & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.key == key) {
        rank = s.rank;
        joined = s.joined;
        return true;
      }
      if (s.key == kEmpty) return false;
    }
  }
  // Calls fn(left, right, rank) for every rule, in no particular order.
  template <class Fn>
  void for_each_rule(Fn&& fn) const {
    for (const Slot& s : slots_) {
      if (s.key == kEmpty) continue;
      fn(symbols_.text_at(static_cast<uint32_t>(s.key >> 32)),
         symbols_.text_at(static_cast<uint32_t>(s.key & 0xFFFFFFFFu)), s.rank);
    }
  }

  // Vocabulary id of a symbol's text, 0 when the text is not a vocabulary key.
  int32_t vocab_id(int32_t symbol) const { return symbol_ids_[static_cast<std::size_t>(symbol)]; }

 private:
  struct Slot {
    uint64_t key;
    int32_t rank;
    int32_t joined;
  };
  static constexpr uint64_t kEmpty = ~0ull;

  static uint64_t pair_key(int32_t l, int32_t r) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(l)) << 32) | static_cast<uint32_t>(r);
  }
  static std::size_t slot_of(uint64_t key) {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 20);
  }
  int32_t intern(std::string_view text);
  void intern_bytes();
  void grow();

  Vocabulary symbols_;  // symbol text -> symbol number (its entry index)
  std::vector<Slot> slots_;
  std::size_t size_ = 0;
  std::vector<int32_t> symbol_ids_;
  std::string scratch_;
};

}  // namespace corvane
