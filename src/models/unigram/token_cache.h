#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "models/model.h"

namespace corvane {

// One thread's cache of the tokens of the short pieces it has tokenized (words recur: a
// few thousand distinct ones make up most of a text). Bounded: when full, it starts over.
class TokenCache {
 public:
  static constexpr std::size_t kMaxPieceBytes = 256;  // longer pieces are not cached
  static constexpr std::size_t kMaxPieces = 1 << 15;

  // Appends the cached tokens of `piece` to `out`; false when it is not cached.
  bool find(std::string_view piece, std::vector<PieceToken>& out) const {
    if (piece.size() >= kMaxPieceBytes) return false;
    const auto it = map_.find(piece);
    if (it == map_.end()) return false;
    out.insert(out.end(), tokens_.begin() + it->second.first, tokens_.begin() + it->second.first + it->second.count);
    return true;
  }

  // Caches tokens[first, end) as the tokens of `piece`.
  void insert(std::string_view piece, const std::vector<PieceToken>& tokens, std::size_t first) {
    if (piece.size() >= kMaxPieceBytes) return;
    if (map_.size() >= kMaxPieces) {
      map_.clear();
      tokens_.clear();
    }
    const Slot slot{static_cast<uint32_t>(tokens_.size()), static_cast<uint32_t>(tokens.size() - first)};
    tokens_.insert(tokens_.end(), tokens.begin() + static_cast<std::ptrdiff_t>(first), tokens.end());
    map_.emplace(std::string(piece), slot);
  }

 private:
  struct Slot {
    uint32_t first;
    uint32_t count;
  };
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, Slot, Hash, std::equal_to<>> map_;
  std::vector<PieceToken> tokens_;
};

}  // namespace corvane
