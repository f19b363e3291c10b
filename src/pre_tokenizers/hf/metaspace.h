#pragma once

#include <string>

#include "pre_tokenizers/hf/pre_tokenizer.h"

namespace corvane::hf {

// Metaspace (SentencePiece style): every space (U+0020 only) becomes the replacement
// character; the replacement is put in front of a piece that does not start with it
// (always; first: only the piece that starts the original text; never); then, with
// `split`, each replacement character starts a new piece.
class MetaspacePreTokenizer final : public PreTokenizer {
 public:
  enum class PrependScheme : uint8_t { kAlways, kFirst, kNever };

  MetaspacePreTokenizer(char32_t replacement, PrependScheme prepend_scheme, bool split);
  void pre_tokenize(PreTokenizedText& text) const override;

  char32_t replacement() const { return replacement_; }
  PrependScheme prepend_scheme() const { return prepend_scheme_; }
  bool split() const { return split_; }

 private:
  char32_t replacement_;
  std::string replacement_utf8_;
  PrependScheme prepend_scheme_;
  bool split_;
};

}  // namespace corvane::hf
