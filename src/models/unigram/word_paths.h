#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/vocabulary.h"
#include "models/model.h"

namespace corvane {

// One thread's cache of the best paths of words, kept from call to call: the tokens of a
// word and the smallest lead its path has over any other choice. An open-addressing table
// whose slots hold each word's hash, so that a lookup reads one slot and compares the
// word's bytes once. Bounded: when full, it starts over.
class WordPaths {
 public:
  static constexpr std::size_t kMaxWordBytes = 256;  // longer words are not cached
  static constexpr std::size_t kMaxWords = std::size_t{1} << 17;
  // And at most this many tokens and key bytes in all, whatever the words hold (a few MB).
  static constexpr std::size_t kMaxTokens = std::size_t{1} << 20;
  static constexpr std::size_t kMaxKeyBytes = std::size_t{1} << 22;

  struct Path {
    const PieceToken* tokens;
    const float* scores;  // each token's score, in order
    uint32_t count;
    double margin;
  };

  // The cached path of `word`, if any.
  bool find(std::string_view word, uint64_t h, Path& path) const {
    if (slots_.empty()) return false;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.len == 0) return false;
      if (s.hash == h && s.len == word.size() && std::memcmp(keys_.data() + s.key, word.data(), word.size()) == 0) {
        path = Path{tokens_.data() + s.first, scores_.data() + s.first, s.count, s.margin};
        return true;
      }
    }
  }

  // Caches `word` (not empty, shorter than kMaxWordBytes, not cached yet) with the path
  // tokens[0, count) and their scores.
  Path insert(std::string_view word, uint64_t h, const PieceToken* tokens, const float* scores, uint32_t count,
              double margin) {
    if (used_ >= kMaxWords || tokens_.size() + count > kMaxTokens || keys_.size() + word.size() > kMaxKeyBytes) {
      clear();
    }
    if ((used_ + 1) * 2 > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = static_cast<std::size_t>(h) & mask;
    while (slots_[i].len != 0) i = (i + 1) & mask;
    const auto first = static_cast<uint32_t>(tokens_.size());
    slots_[i] = Slot{h, static_cast<uint32_t>(keys_.size()), static_cast<uint32_t>(word.size()), first, count, margin};
    keys_.append(word);
    tokens_.insert(tokens_.end(), tokens, tokens + count);
    scores_.insert(scores_.end(), scores, scores + count);
    ++used_;
    return Path{tokens_.data() + first, scores_.data() + first, count, margin};
  }

  static uint64_t hash(std::string_view word) { return Vocabulary::hash(word.data(), word.size()); }

 private:
  static constexpr std::size_t kInitialSlots = 1024;

  struct Slot {
    uint64_t hash;
    uint32_t key;  // the word's bytes at keys_[key, key + len); len 0 marks a free slot
    uint32_t len;
    uint32_t first;  // its tokens at tokens_[first, first + count)
    uint32_t count;
    double margin;
  };

  void clear() {
    slots_.assign(slots_.size(), Slot{});
    keys_.clear();
    tokens_.clear();
    scores_.clear();
    used_ = 0;
  }

  void grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(old.empty() ? kInitialSlots : old.size() * 2, Slot{});
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.len == 0) continue;
      std::size_t i = static_cast<std::size_t>(s.hash) & mask;
      while (slots_[i].len != 0) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  std::string keys_;
  std::vector<PieceToken> tokens_;
  std::vector<float> scores_;
  std::size_t used_ = 0;
};

}  // namespace corvane
