#pragma once

#include <memory>
#include <string>

#include "core/onig_regex.h"
#include "pre_tokenizers/hf/known_patterns.h"
#include "pre_tokenizers/hf/pre_tokenizer.h"

namespace corvane::hf {

// Split: cuts pieces on the matches of a pattern, with the given behavior for the matches;
// with `invert`, the matches are the pieces' text and the stretches between them the
// delimiters. The pattern is a literal string (every occurrence, left to right, without
// overlaps; the empty string matches between every two characters and at both ends) or an
// Oniguruma regex (core/onig_regex.h), or for the patterns in wide use a scanner that finds
// the same matches (known_patterns.h).
class SplitPreTokenizer final : public PreTokenizer {
 public:
  enum class PatternKind : uint8_t { kString, kRegex };

  // Throws std::invalid_argument with Oniguruma's message when a regex does not compile.
  SplitPreTokenizer(PatternKind kind, std::string pattern, SplitBehavior behavior, bool invert);
  void pre_tokenize(PreTokenizedText& text) const override;

  // The segments of `text` for this pattern (before `invert`).
  void segments(std::string_view text, std::vector<Segment>& out) const;

 private:
  PatternKind kind_;
  std::string pattern_;
  SplitBehavior behavior_;
  bool invert_;
  PatternScanner scanner_ = nullptr;
  std::unique_ptr<OnigRegex> regex_;
};

}  // namespace corvane::hf
