#pragma once

#include "decoders/decoder.h"

namespace corvane {

// Metaspace decoding (SentencePiece-style vocabularies): the replacement character ("▁")
// becomes a space, except in the first token when a space was prepended on encoding (any
// scheme but "never"), where it is dropped.
class MetaspaceDecoder final : public Decoder {
 public:
  enum class PrependScheme { kAlways, kFirst, kNever };

  MetaspaceDecoder(char32_t replacement, PrependScheme scheme) : replacement_(replacement), scheme_(scheme) {}

  std::vector<std::string> decode_chain(std::vector<std::string> tokens) const override;

 private:
  char32_t replacement_;
  PrependScheme scheme_;
};

}  // namespace corvane
