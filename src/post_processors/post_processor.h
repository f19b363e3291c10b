#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "pipeline/encoding_record.h"

namespace corvane {

// The last step of encoding: adds the special tokens a model expects around one sequence or
// a pair ([CLS] A [SEP] B [SEP], <s> A </s></s> B </s>, ...), sets the type ids and adjusts
// offsets, then merges the sequences into one record.
//
// Post-processors are immutable after construction and may be shared by threads.
class PostProcessor {
 public:
  virtual ~PostProcessor() = default;

  // How many tokens `process` adds with special tokens on, for one sequence or a pair
  // (truncation leaves room for them).
  virtual std::size_t added_tokens(bool is_pair) const = 0;

  // The processor's own step on a list of records (normally one per input sequence; inside
  // a Sequence, whatever the step before left). Records may be replaced, split or joined.
  // Throws std::invalid_argument for a list this processor cannot take.
  virtual void process_encodings(std::vector<EncodingRecord>& encodings, bool add_special_tokens) const = 0;

  // The whole step as a tokenizer runs it: each sequence i gets sequence number i (its
  // overflowing parts too) and type id i, then process_encodings, then the records are
  // merged, offsets unchanged.
  EncodingRecord process(EncodingRecord encoding, std::optional<EncodingRecord> pair, bool add_special_tokens) const;

  // What a tokenizer without a post-processor does: a pair is merged, each sequence with
  // its number; type ids and everything else stay as encoded.
  static EncodingRecord without_processor(EncodingRecord encoding, std::optional<EncodingRecord> pair);
};

}  // namespace corvane
