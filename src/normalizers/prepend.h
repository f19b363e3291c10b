#pragma once

#include <string>
#include <string_view>

#include "normalizers/normalizer.h"

namespace corvane {

// Puts a fixed string in front of every non-empty text.
class Prepend final : public Normalizer {
 public:
  explicit Prepend(std::string_view prefix) : prefix_(prefix) {}
  void normalize(NormalizedText& text) const override { text.prepend(prefix_); }

 private:
  std::string prefix_;
};

}  // namespace corvane
