#pragma once

#include <cstdint>

#include "decoders/decoder.h"

namespace corvane {

// Removes up to `start` leading and up to `stop` trailing copies of one character from each
// token (the space that a Metaspace or Prepend step added, for instance). A token made only
// of that character, with more copies than the two limits leave, becomes empty.
class StripDecoder final : public Decoder {
 public:
  StripDecoder(char32_t content, uint64_t start, uint64_t stop) : content_(content), start_(start), stop_(stop) {}

  std::vector<std::string> decode_chain(std::vector<std::string> tokens) const override;

 private:
  char32_t content_;
  uint64_t start_, stop_;
};

}  // namespace corvane
