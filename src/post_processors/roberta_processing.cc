#include "post_processors/roberta_processing.h"

#include "post_processors/byte_level.h"
#include "post_processors/surround.h"

namespace corvane {

void RobertaProcessing::process_encodings(std::vector<EncodingRecord>& encodings, bool add_special_tokens) const {
  if (trim_offsets_) {
    for (EncodingRecord& e : encodings) {
      ByteLevelPostProcessor::trim_offsets(e, add_prefix_space_);
      for (EncodingRecord& part : e.overflowing) ByteLevelPostProcessor::trim_offsets(part, add_prefix_space_);
    }
  }
  for (EncodingRecord& e : encodings) e.set_type_ids(0);
  if (!add_special_tokens) return;
  const Surrounding cls{cls_id_, &cls_, 0};
  const Surrounding sep{sep_id_, &sep_, 0};
  for (std::size_t i = 0; i < encodings.size(); ++i) {
    // <s> A </s> or </s> B </s>, all of type 0; the range leaves the special tokens out.
    const auto apply = [&](EncodingRecord& r) {
      surround(r, i == 0 ? cls : sep, sep, 0u);
      r.sequence_ranges = {SequenceRange{i == 0 ? 0u : 1u, 1, r.size() - 1}};
    };
    EncodingRecord& e = encodings[i];
    for (EncodingRecord& part : e.overflowing) {
      apply(part);
      part.overflowing.clear();
    }
    apply(e);
  }
}

}  // namespace corvane
