#pragma once

#include "decoders/decoder.h"

namespace corvane {

// Byte-level decoding (GPT-2 and its descendants): each token whose characters all stand for
// bytes in the byte alphabet (see ByteLevel) becomes those bytes, any other token its own
// UTF-8 bytes; the bytes of all tokens are then read as one UTF-8 text, each maximal
// ill-formed subsequence becoming one U+FFFD. The result is a single string.
class ByteLevelDecoder final : public Decoder {
 public:
  std::vector<std::string> decode_chain(std::vector<std::string> tokens) const override;
};

}  // namespace corvane
