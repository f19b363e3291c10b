#pragma once

#include "post_processors/post_processor.h"

namespace corvane {

// The byte-level post-processor (GPT-2 and its descendants): with `trim_offsets`, narrows
// each token's offsets so that they leave out its leading and trailing spaces (the space
// stand-in "Ġ" and whitespace characters), except the single space that `add_prefix_space`
// put before the first token. Adds no tokens.
class ByteLevelPostProcessor final : public PostProcessor {
 public:
  ByteLevelPostProcessor(bool add_prefix_space, bool trim_offsets)
      : add_prefix_space_(add_prefix_space), trim_offsets_(trim_offsets) {}

  std::size_t added_tokens(bool) const override { return 0; }
  void process_encodings(std::vector<EncodingRecord>& encodings, bool add_special_tokens) const override;

  // The trimming of one record's offsets (and not its overflowing parts). Token i counts as
  // first when i is 0 or its offsets start at 0.
  static void trim_offsets(EncodingRecord& record, bool add_prefix_space);

 private:
  bool add_prefix_space_;
  bool trim_offsets_;
};

}  // namespace corvane
