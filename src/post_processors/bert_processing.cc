#include "post_processors/bert_processing.h"

#include "post_processors/surround.h"

namespace corvane {

void BertProcessing::process_encodings(std::vector<EncodingRecord>& encodings, bool add_special_tokens) const {
  if (!add_special_tokens) return;
  const Surrounding cls{cls_id_, &cls_, 0};
  for (std::size_t i = 0; i < encodings.size(); ++i) {
    // [CLS] A [SEP] with both of type 0, or B [SEP] with the [SEP] of type 1; the sequence
    // range leaves the special tokens out.
    const auto apply = [&](EncodingRecord& r) {
      if (i == 0) {
        surround(r, cls, Surrounding{sep_id_, &sep_, 0}, std::nullopt);
        r.sequence_ranges = {SequenceRange{0, 1, r.size() - 1}};
      } else {
        surround(r, std::nullopt, Surrounding{sep_id_, &sep_, 1}, std::nullopt);
        r.sequence_ranges = {SequenceRange{1, 0, r.size() - 1}};
      }
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
