#pragma once

#include <optional>

#include "normalizers/normalizer.h"

namespace corvane {

// BERT's text cleaning, as `tokenizers`' BertNormalizer does it, in this order:
//   clean_text: removes U+0000, U+FFFD and control characters (Cc, Cf, Co as of Unicode
//     8.0, except tab, newline and carriage return), then turns every White_Space
//     character into a space;
//   handle_chinese_chars: puts a space on each side of every CJK ideograph (the CJK
//     Unified Ideographs blocks and their extensions A-E, and the compatibility blocks);
//   strip_accents: NFD, then removes non-spacing marks (Mn as of Unicode 8.0); when unset
//     it follows `lowercase`;
//   lowercase: full lowercase mapping.
class BertNormalizer final : public Normalizer {
 public:
  BertNormalizer(bool clean_text, bool handle_chinese_chars, std::optional<bool> strip_accents, bool lowercase)
      : clean_text_(clean_text),
        handle_chinese_chars_(handle_chinese_chars),
        strip_accents_(strip_accents.value_or(lowercase)),
        lowercase_(lowercase) {}
  void normalize(NormalizedText& text) const override;

  // Whether `cp` is one of the ideographs handle_chinese_chars isolates.
  static bool is_chinese_char(char32_t cp);

 private:
  bool clean_text_;
  bool handle_chinese_chars_;
  bool strip_accents_;
  bool lowercase_;
};

}  // namespace corvane
