#pragma once

#include <cstdint>
#include <string_view>

#include "models/bpe/merge_table.h"

namespace corvane {

// tokenizer.json's pair rule, for PieceMerger: two adjacent pieces are a ranked pair when
// the merge list has a rule for them, ranked by the rule's place. Pieces are known by their
// MergeTable symbols, so a pair costs one 64-bit lookup; a final piece's id is its text's
// vocabulary id (0 when the text is no vocabulary key).
struct MergeListRanker {
  static constexpr bool kSymbols = true;
  const MergeTable& merges;
  int32_t byte_symbol(unsigned char b) const { return merges.byte_symbol(b); }
  bool pair(std::string_view, uint32_t, uint32_t, uint32_t, int32_t l, int32_t r, int32_t& rank,
            int32_t& joined) const {
    return merges.find(l, r, rank, joined);
  }
  int32_t piece_id(std::string_view, uint32_t, uint32_t, int32_t sym) const { return merges.vocab_id(sym); }
};

}  // namespace corvane
