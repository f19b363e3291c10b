#include "decoders/bpe_decoder.h"

namespace corvane {

std::vector<std::string> BPEDecoder::decode_chain(std::vector<std::string> tokens) const {
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    tokens[i] = (i + 1 == tokens.size() ? to_nothing_ : to_space_).apply(tokens[i]);
  }
  return tokens;
}

}  // namespace corvane
