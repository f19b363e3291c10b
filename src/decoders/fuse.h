#pragma once

#include "decoders/decoder.h"

namespace corvane {

// Joins all tokens into one, for steps that must see the whole text.
class FuseDecoder final : public Decoder {
 public:
  std::vector<std::string> decode_chain(std::vector<std::string> tokens) const override;
};

}  // namespace corvane
