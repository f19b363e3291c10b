#pragma once

#include <memory>
#include <string>

#include "core/onig_regex.h"
#include "decoders/decoder.h"
#include "decoders/token_text.h"

namespace corvane {

// Replaces, in each token, every match of a pattern by a fixed content: a literal string
// (as a literal, an empty one matching at every character boundary of a non-empty token),
// or an Oniguruma regular expression, its matches taken as the peer iterates them (see
// OnigRegex::find_all). An empty token stays empty. In a token that is not well-formed
// UTF-8, each byte that begins no character stays as it is and no match spans it.
class ReplaceDecoder final : public Decoder {
 public:
  // Literal pattern.
  ReplaceDecoder(std::string literal, std::string content);
  // Regex pattern; throws std::invalid_argument when it does not compile.
  static std::unique_ptr<ReplaceDecoder> regex(std::string_view pattern, std::string content);

  std::vector<std::string> decode_chain(std::vector<std::string> tokens) const override;

 private:
  ReplaceDecoder(std::unique_ptr<OnigRegex> regex, std::string content);

  std::unique_ptr<token_text::LiteralReplacer> literal_;
  std::unique_ptr<OnigRegex> regex_;
  std::string content_;
};

}  // namespace corvane
