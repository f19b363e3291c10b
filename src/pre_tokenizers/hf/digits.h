#pragma once

#include "pre_tokenizers/hf/pre_tokenizer.h"

namespace corvane::hf {

// Digits: numeric characters (Rust's char::is_numeric) apart from the rest, each one alone
// (individual_digits) or as runs.
class DigitsPreTokenizer final : public PreTokenizer {
 public:
  explicit DigitsPreTokenizer(bool individual_digits) : individual_digits_(individual_digits) {}
  void pre_tokenize(PreTokenizedText& text) const override;

 private:
  bool individual_digits_;
};

}  // namespace corvane::hf
