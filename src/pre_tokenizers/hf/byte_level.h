#pragma once

#include "pre_tokenizers/hf/pre_tokenizer.h"

namespace corvane::hf {

// ByteLevel: optionally puts a space in front of each piece that does not start with one
// (add_prefix_space), cuts pieces with GPT-2's pattern (use_regex), then writes every byte
// of the text as its stand-in character of the byte-level alphabet (core/byte_level.h),
// each stand-in aligned with the original character its byte belongs to. trim_offsets is
// kept for the post-processor; it does not change pre-tokenization.
class ByteLevelPreTokenizer final : public PreTokenizer {
 public:
  ByteLevelPreTokenizer(bool add_prefix_space, bool trim_offsets, bool use_regex);
  void pre_tokenize(PreTokenizedText& text) const override;

  bool add_prefix_space() const { return add_prefix_space_; }
  bool trim_offsets() const { return trim_offsets_; }
  bool use_regex() const { return use_regex_; }

 private:
  bool add_prefix_space_;
  bool trim_offsets_;
  bool use_regex_;
};

}  // namespace corvane::hf
