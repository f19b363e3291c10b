#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "pipeline/encoding_record.h"

namespace corvane {

// One special token that BertProcessing or RobertaProcessing puts around a sequence.
struct Surrounding {
  uint32_t id;
  const std::string* token;
  uint32_t type_id;
};

// Puts `before` (when given) and `after` around the tokens of `r`, the way the BERT and
// RoBERTa processors build their records: the new tokens have no word, offsets (0, 0) and
// are marked special; every token of the sequence is marked not special and attended to;
// the sequence keeps its type ids unless `inner_type` replaces them. Sequence ranges and
// overflowing parts are left to the caller.
void surround(EncodingRecord& r, std::optional<Surrounding> before, Surrounding after, std::optional<uint32_t> inner_type);

}  // namespace corvane
