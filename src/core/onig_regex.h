#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

// A regular expression compiled by Oniguruma, the engine HuggingFace `tokenizers` uses for
// the patterns of tokenizer.json files (Oniguruma's default syntax, UTF-8, no options).
// Immutable after construction; searches from several threads at once are safe.
class OnigRegex {
 public:
  // Throws std::invalid_argument "Oniguruma error: <reason>" when the pattern does not
  // compile (or is not valid UTF-8).
  explicit OnigRegex(std::string_view pattern);
  ~OnigRegex();
  OnigRegex(const OnigRegex&) = delete;
  OnigRegex& operator=(const OnigRegex&) = delete;

  const std::string& pattern() const { return pattern_; }

  // The successive non-overlapping matches in valid UTF-8 `text`, as byte ranges: each
  // search starts where the last match ended; after an empty match the search moves on by
  // one character, and an empty match found by the search that follows a non-empty match
  // is dropped. Throws std::runtime_error "Oniguruma error: <reason>" when the engine gives
  // up (its backtracking limit).
  std::vector<std::pair<std::size_t, std::size_t>> find_all(std::string_view text) const;

 private:
  std::string pattern_;
  void* regex_ = nullptr;  // regex_t*
};

}  // namespace corvane
