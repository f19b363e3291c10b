#pragma once

#include <string>
#include <vector>

#include "normalizers/normalizer.h"

namespace corvane {

// The four Unicode normalization forms (UAX #15), with the data and the alignment that
// `tokenizers` gives: its normalization crate's Unicode 9.0 data (see pinned_unicode.h)
// and its way of reporting each output character as replacing, inserting or merging the
// characters it read, in order.
class UnicodeNormalization final : public Normalizer {
 public:
  enum class Form { NFC, NFD, NFKC, NFKD };

  explicit UnicodeNormalization(Form form) : form_(form) {}
  Form form() const { return form_; }
  void normalize(NormalizedText& text) const override;

  // The normalized characters of `text` with their changes (NormalizedText::Change).
  static std::vector<NormalizedText::Change> changes(const std::u32string& text, Form form);

 private:
  Form form_;
};

}  // namespace corvane
