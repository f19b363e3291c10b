#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/onig_regex.h"
#include "normalizers/normalizer.h"

namespace corvane {

// Replaces every match of a pattern by a fixed content. The pattern is a literal string
// (matched as is; an empty one matches at every character boundary) or an Oniguruma
// regular expression. The content's characters align with the last character of the
// match they replace.
class Replace final : public Normalizer {
 public:
  enum class Kind { String, Regex };

  // Throws std::invalid_argument "Oniguruma error: <reason>" for a regex that does not
  // compile.
  Replace(Kind kind, std::string_view pattern, std::string_view content);
  void normalize(NormalizedText& text) const override;

  // The byte ranges the pattern matches in `text`.
  std::vector<std::pair<std::size_t, std::size_t>> find_all(std::string_view text) const;

 private:
  Kind kind_;
  std::string pattern_;
  std::string content_;
  bool whitespace_runs_ = false;  // the regex \s+, found without the engine
  std::unique_ptr<OnigRegex> regex_;
};

}  // namespace corvane
