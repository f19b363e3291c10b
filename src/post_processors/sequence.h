#pragma once

#include <memory>

#include "post_processors/post_processor.h"

namespace corvane {

// Runs post-processors one after another on the same list of records; adds what they add.
class PostProcessorSequence final : public PostProcessor {
 public:
  explicit PostProcessorSequence(std::vector<std::unique_ptr<const PostProcessor>> steps) : steps_(std::move(steps)) {}

  std::size_t added_tokens(bool is_pair) const override;
  void process_encodings(std::vector<EncodingRecord>& encodings, bool add_special_tokens) const override;

 private:
  std::vector<std::unique_ptr<const PostProcessor>> steps_;
};

}  // namespace corvane
