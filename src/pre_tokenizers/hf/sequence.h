#pragma once

#include <memory>
#include <vector>

#include "pre_tokenizers/hf/pre_tokenizer.h"

namespace corvane::hf {

// Sequence: its pre-tokenizers one after the other.
class SequencePreTokenizer final : public PreTokenizer {
 public:
  explicit SequencePreTokenizer(std::vector<std::unique_ptr<const PreTokenizer>> steps) : steps_(std::move(steps)) {}
  void pre_tokenize(PreTokenizedText& text) const override {
    for (const auto& s : steps_) s->pre_tokenize(text);
  }
  const std::vector<std::unique_ptr<const PreTokenizer>>& steps() const { return steps_; }

 private:
  std::vector<std::unique_ptr<const PreTokenizer>> steps_;
};

}  // namespace corvane::hf
