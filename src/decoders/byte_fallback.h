#pragma once

#include "decoders/decoder.h"

namespace corvane {

// Byte-fallback decoding (SentencePiece-style vocabularies with byte tokens): each run of
// byte tokens "<0xNN>" becomes the text its bytes spell when they are well-formed UTF-8,
// and otherwise one U+FFFD per byte token. Other tokens pass unchanged.
//
// A byte token is exactly six bytes, "<0x", two characters that read as a hexadecimal
// byte, and ">". The two characters are either two hex digits (either case) or "+" and one
// hex digit, the forms an unsigned integer parser accepts.
class ByteFallbackDecoder final : public Decoder {
 public:
  std::vector<std::string> decode_chain(std::vector<std::string> tokens) const override;

  // The byte `token` stands for, or -1 when it is not a byte token.
  static int byte_of(const std::string& token);
};

}  // namespace corvane
