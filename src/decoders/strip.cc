#include "decoders/strip.h"

#include "decoders/token_text.h"

namespace corvane {

std::vector<std::string> StripDecoder::decode_chain(std::vector<std::string> tokens) const {
  std::string content;
  token_text::append_char(content, content_);
  const std::size_t width = content.size();
  for (std::string& token : tokens) {
    // Copies of the character are whole characters: matching its bytes at a character
    // boundary (both ends are boundaries, and so is the end of each match) is matching it.
    std::size_t begin = 0;
    for (uint64_t n = 0; n < start_ && begin + width <= token.size() && token.compare(begin, width, content) == 0; ++n) {
      begin += width;
    }
    std::size_t end = token.size();
    for (uint64_t n = 0; n < stop_ && end >= begin + width && token.compare(end - width, width, content) == 0; ++n) {
      end -= width;
    }
    if (begin == 0 && end == token.size()) continue;
    token = token.substr(begin, end - begin);
  }
  return tokens;
}

}  // namespace corvane
