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

// One thread's cache of the tokens of the short pieces it has tokenized (words recur: a
// few thousand distinct ones make up most of a text, and a large corpus some tens of
// thousands). A flat open-addressing table: each slot holds the piece's hash, where its
// bytes sit in one arena and where its tokens sit in one array, so a lookup is a probe
// and a compare, with no node to allocate or chase. Bounded: when it holds kMaxPieces
// pieces or kMaxKeyBytes bytes of them, it starts over.
class TokenCache {
 public:
  static constexpr std::size_t kMaxPieceBytes = 256;  // longer pieces are not cached
  static constexpr std::size_t kMaxPieces = std::size_t{1} << 17;
  static constexpr std::size_t kMaxKeyBytes = std::size_t{4} << 20;

  // Appends the tokens of `piece` to `out`: the cached ones, or else those compute(out)
  // appends, which are then cached (a piece of kMaxPieceBytes or more is never cached, nor
  // hashed).
  template <class Compute>
  void tokens_of(std::string_view piece, std::vector<PieceToken>& out, Compute&& compute) {
    if (piece.size() >= kMaxPieceBytes) {
      compute(out);
      return;
    }
    tokens_of(piece, Vocabulary::hash(piece.data(), piece.size()), out, compute);
  }
  // The same, for a caller that already has h = Vocabulary::hash(piece).
  template <class Compute>
  void tokens_of(std::string_view piece, uint64_t h, std::vector<PieceToken>& out, Compute&& compute) {
    if (find(piece, h, out)) return;
    const std::size_t first = out.size();
    compute(out);
    insert(piece, h, out.data() + first, out.size() - first);
  }

 private:
  bool find(std::string_view piece, uint64_t h, std::vector<PieceToken>& out) const {
    if (piece.size() >= kMaxPieceBytes || slots_.empty()) return false;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.len == kEmpty) return false;
      if (s.hash == h && s.len == piece.size() && std::memcmp(keys_.data() + s.key, piece.data(), piece.size()) == 0) {
        out.insert(out.end(), tokens_.begin() + s.first, tokens_.begin() + s.first + s.count);
        return true;
      }
    }
  }

  void insert(std::string_view piece, uint64_t h, const PieceToken* tokens, std::size_t count) {
    if (piece.size() >= kMaxPieceBytes) return;
    if (used_ >= kMaxPieces || keys_.size() + piece.size() > kMaxKeyBytes) clear();
    if ((used_ + 1) * 2 > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = static_cast<std::size_t>(h) & mask;
    while (slots_[i].len != kEmpty) i = (i + 1) & mask;
    slots_[i] = Slot{h, static_cast<uint32_t>(keys_.size()), static_cast<uint32_t>(piece.size()),
                     static_cast<uint32_t>(tokens_.size()), static_cast<uint32_t>(count)};
    keys_.append(piece);
    tokens_.insert(tokens_.end(), tokens, tokens + count);
    ++used_;
  }

  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
  struct Slot {
    uint64_t hash;
    uint32_t key;    // offset of the piece's bytes in keys_
    uint32_t len;    // their length; kEmpty in an empty slot
    uint32_t first;  // its tokens: tokens_[first, first + count)
    uint32_t count;
  };

  void clear() {
    slots_.clear();
    keys_.clear();
    tokens_.clear();
    used_ = 0;
  }

  void grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{0, 0, kEmpty, 0, 0});
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.len == kEmpty) continue;
      std::size_t i = static_cast<std::size_t>(s.hash) & mask;
      while (slots_[i].len != kEmpty) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  std::string keys_;
  std::vector<PieceToken> tokens_;
  std::size_t used_ = 0;
};

}  // namespace corvane
