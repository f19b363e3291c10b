#pragma once

#include <string_view>
#include <vector>

#include "pre_tokenizers/hf/pre_tokenized_text.h"

namespace corvane::hf {

// The pieces of GPT-2's pattern, which ByteLevel splits with:
//   's|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+
// read as Oniguruma reads it in `tokenizers` (leftmost-first, Unicode 16.0 classes; \s is
// White_Space). The pattern matches every character, so its matches cover the text. A
// single forward pass instead of the regex engine: linear, any run length.
//
// Appends the matches in `text` (well-formed UTF-8) to `out` as delimiter segments.
void gpt2_segments(std::string_view text, std::vector<Segment>& out);

}  // namespace corvane::hf
