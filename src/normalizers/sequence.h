#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "normalizers/normalizer.h"

namespace corvane {

// Runs its normalizers in order on the same text.
class NormalizerSequence final : public Normalizer {
 public:
  explicit NormalizerSequence(std::vector<std::unique_ptr<Normalizer>> steps) : steps_(std::move(steps)) {}
  void normalize(NormalizedText& text) const override {
    for (const auto& step : steps_) step->normalize(text);
  }

 private:
  std::vector<std::unique_ptr<Normalizer>> steps_;
};

}  // namespace corvane
