#include "post_processors/post_processor.h"

#include <utility>

namespace corvane {

EncodingRecord PostProcessor::process(EncodingRecord encoding, std::optional<EncodingRecord> pair,
                                      bool add_special_tokens) const {
  std::vector<EncodingRecord> encodings;
  encodings.push_back(std::move(encoding));
  if (pair) encodings.push_back(std::move(*pair));
  for (std::size_t i = 0; i < encodings.size(); ++i) {
    EncodingRecord& e = encodings[i];
    e.set_sequence_id(i);
    for (EncodingRecord& part : e.overflowing) part.set_sequence_id(i);
    e.set_type_ids(static_cast<uint32_t>(i));
  }
  process_encodings(encodings, add_special_tokens);
  if (encodings.size() == 1) return std::move(encodings[0]);
  return EncodingRecord::merge(std::move(encodings));
}

EncodingRecord PostProcessor::without_processor(EncodingRecord encoding, std::optional<EncodingRecord> pair) {
  if (!pair) return encoding;
  encoding.set_sequence_id(0);
  pair->set_sequence_id(1);
  std::vector<EncodingRecord> both;
  both.push_back(std::move(encoding));
  both.push_back(std::move(*pair));
  return EncodingRecord::merge(std::move(both));
}

}  // namespace corvane
