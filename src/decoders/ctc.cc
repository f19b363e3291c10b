#include "decoders/ctc.h"

#include "decoders/wordpiece.h"

namespace corvane {

std::vector<std::string> CTCDecoder::decode_chain(std::vector<std::string> tokens) const {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (i > 0 && tokens[i] == tokens[i - 1]) continue;
    std::string t = pad_.apply(tokens[i]);
    if (cleanup_) t = delimiter_.apply(WordPieceDecoder::cleanup(t));
    if (!t.empty()) out.push_back(std::move(t));
  }
  return out;
}

}  // namespace corvane
