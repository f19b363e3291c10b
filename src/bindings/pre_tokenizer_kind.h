#pragma once

#include "pre_tokenizers/pre_tokenizer.h"

namespace corvane::bindings {

// The name Python sees for what runs a pattern.
inline const char* kind_name(PreTokenizer::Kind kind) {
  switch (kind) {
    case PreTokenizer::Kind::kAsciiGpt2:
      return "ascii_gpt2";
    case PreTokenizer::Kind::kR50k:
      return "r50k";
    case PreTokenizer::Kind::kCl100k:
      return "cl100k";
    case PreTokenizer::Kind::kO200k:
      return "o200k";
    case PreTokenizer::Kind::kRegex:
      return "regex";
  }
  return "regex";
}

}  // namespace corvane::bindings
