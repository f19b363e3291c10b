#pragma once

#include <cstdint>
#include <string_view>

#include "core/vocabulary.h"

namespace corvane {

// tiktoken's pair rule, for PieceMerger: two adjacent pieces are a ranked pair when their
// joined bytes are a token, the pair's rank being that token's rank (its id). A final
// piece's id is its token's id, or `missing` when the piece is not a token (only a single
// byte that no token covers can end up so).
struct JoinedTokenRanker {
  static constexpr bool kSymbols = false;  // a pair is ranked by its joined text alone
  const Vocabulary& vocab;
  int32_t missing = 0;
  int32_t byte_symbol(unsigned char) const { return 0; }
  bool pair(std::string_view word, uint32_t a, uint32_t, uint32_t c, int32_t, int32_t,
            int32_t& rank, int32_t&) const {
    const int32_t* id = vocab.find(word.substr(a, c - a));
    if (!id) return false;
    rank = *id;
    return true;
  }
  int32_t piece_id(std::string_view word, uint32_t a, uint32_t c, int32_t) const {
    const int32_t* id = vocab.find(word.substr(a, c - a));
    return id ? *id : missing;
  }
};

}  // namespace corvane
