#include "decoders/sequence.h"

namespace corvane {

std::vector<std::string> DecoderSequence::decode_chain(std::vector<std::string> tokens) const {
  for (const auto& step : steps_) tokens = step->decode_chain(std::move(tokens));
  return tokens;
}

}  // namespace corvane
