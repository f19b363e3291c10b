#include "post_processors/sequence.h"

namespace corvane {

std::size_t PostProcessorSequence::added_tokens(bool is_pair) const {
  std::size_t n = 0;
  for (const auto& step : steps_) n += step->added_tokens(is_pair);
  return n;
}

void PostProcessorSequence::process_encodings(std::vector<EncodingRecord>& encodings, bool add_special_tokens) const {
  for (const auto& step : steps_) step->process_encodings(encodings, add_special_tokens);
}

}  // namespace corvane
