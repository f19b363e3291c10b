#pragma once

#include "normalizers/normalizer.h"

namespace corvane {

// Removes White_Space characters from the left and/or right end of the text.
class Strip final : public Normalizer {
 public:
  Strip(bool left, bool right) : left_(left), right_(right) {}
  void normalize(NormalizedText& text) const override { text.strip(left_, right_); }

 private:
  bool left_;
  bool right_;
};

}  // namespace corvane
