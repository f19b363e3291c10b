#pragma once

#include <memory>

#include "decoders/decoder.h"

namespace corvane {

// Runs decoders one after another, each on the output of the one before.
class DecoderSequence final : public Decoder {
 public:
  explicit DecoderSequence(std::vector<std::unique_ptr<const Decoder>> steps) : steps_(std::move(steps)) {}

  std::vector<std::string> decode_chain(std::vector<std::string> tokens) const override;

 private:
  std::vector<std::unique_ptr<const Decoder>> steps_;
};

}  // namespace corvane
