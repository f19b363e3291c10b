#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/vocabulary.h"

namespace corvane {

// Ids of the pre-tokens already merged during one call, keyed by their bytes.
//
// Text repeats itself: the same indentation run, identifier or rare word comes back again
// and again, and each time would otherwise go through the merge loop. The cache lives for
// one call only (its keys point into that call's text), so concurrent calls share nothing.
class WordCache {
 public:
  // The cached ids of `word`, if any: sets `first` and `count` and returns true.
  bool find(std::string_view word, uint64_t h, const int32_t*& first, std::size_t& count) const {
    if (slots_.empty()) return false;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.data == nullptr) return false;
      if (s.hash == h && s.len == word.size() && std::memcmp(s.data, word.data(), word.size()) == 0) {
        first = ids_.data() + s.offset;
        count = s.count;
        return true;
      }
    }
  }

  // Remembers the ids of `word`; `word` must stay alive as long as the cache is used.
  void insert(std::string_view word, uint64_t h, const int32_t* ids, std::size_t count) {
    if (count > kMaxIds || ids_.size() + count > kMaxTotalIds) return;
    if ((used_ + 1) * 2 > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = static_cast<std::size_t>(h) & mask;
    while (slots_[i].data != nullptr) i = (i + 1) & mask;
    slots_[i] = Slot{word.data(), h, static_cast<uint32_t>(word.size()),
                     static_cast<uint32_t>(ids_.size()), static_cast<uint32_t>(count)};
    ids_.insert(ids_.end(), ids, ids + count);
    ++used_;
  }

 private:
  // Words that merge into many pieces are long and rare; caching them would only cost memory.
  static constexpr std::size_t kMaxIds = 64;
  static constexpr std::size_t kMaxTotalIds = std::size_t{1} << 24;
  // Small to start with: a call on a short text (one word, one line) should not pay for
  // clearing a table sized for a document; the table doubles as words arrive.
  static constexpr std::size_t kInitialSlots = 16;

  struct Slot {
    const char* data;
    uint64_t hash;
    uint32_t len;
    uint32_t offset;
    uint32_t count;
  };

  void grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(old.empty() ? kInitialSlots : old.size() * 2, Slot{nullptr, 0, 0, 0, 0});
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.data == nullptr) continue;
      std::size_t i = static_cast<std::size_t>(s.hash) & mask;
      while (slots_[i].data != nullptr) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  std::vector<int32_t> ids_;
  std::size_t used_ = 0;
};

}  // namespace corvane
