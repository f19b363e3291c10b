#pragma once

#include <string>

#include "post_processors/post_processor.h"

namespace corvane {

// RoBERTa's special tokens: "<s> A </s>" for one sequence, "<s> A </s> </s> B </s>" for a
// pair, every type id 0. With `trim_offsets`, offsets are first trimmed as the byte-level
// post-processor does it (with `add_prefix_space`); type ids become 0 even without special
// tokens.
class RobertaProcessing final : public PostProcessor {
 public:
  RobertaProcessing(std::string sep, uint32_t sep_id, std::string cls, uint32_t cls_id, bool trim_offsets,
                    bool add_prefix_space)
      : sep_(std::move(sep)), cls_(std::move(cls)), sep_id_(sep_id), cls_id_(cls_id),
        trim_offsets_(trim_offsets), add_prefix_space_(add_prefix_space) {}

  std::size_t added_tokens(bool is_pair) const override { return is_pair ? 4 : 2; }
  void process_encodings(std::vector<EncodingRecord>& encodings, bool add_special_tokens) const override;

 private:
  std::string sep_, cls_;
  uint32_t sep_id_, cls_id_;
  bool trim_offsets_, add_prefix_space_;
};

}  // namespace corvane
