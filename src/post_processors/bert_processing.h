#pragma once

#include <string>

#include "post_processors/post_processor.h"

namespace corvane {

// BERT's special tokens: "[CLS] A [SEP]" for one sequence, "[CLS] A [SEP] B [SEP]" for a
// pair, type id 0 up to the first [SEP] and 1 after it. Without special tokens the
// records pass unchanged.
class BertProcessing final : public PostProcessor {
 public:
  BertProcessing(std::string sep, uint32_t sep_id, std::string cls, uint32_t cls_id)
      : sep_(std::move(sep)), cls_(std::move(cls)), sep_id_(sep_id), cls_id_(cls_id) {}

  std::size_t added_tokens(bool is_pair) const override { return is_pair ? 3 : 2; }
  void process_encodings(std::vector<EncodingRecord>& encodings, bool add_special_tokens) const override;

 private:
  std::string sep_, cls_;
  uint32_t sep_id_, cls_id_;
};

}  // namespace corvane
