#pragma once

#include "decoders/decoder.h"
#include "decoders/token_text.h"

namespace corvane {

// Decoding of end-of-word-suffix BPE (original BPE, CLIP): every occurrence of the suffix
// ("</w>") becomes a space, except in the last token, where it is removed.
class BPEDecoder final : public Decoder {
 public:
  explicit BPEDecoder(std::string suffix) : to_space_(suffix, " "), to_nothing_(suffix, "") {}

  std::vector<std::string> decode_chain(std::vector<std::string> tokens) const override;

 private:
  token_text::LiteralReplacer to_space_, to_nothing_;
};

}  // namespace corvane
