#include "decoders/wordpiece.h"

#include <array>
#include <utility>

#include "decoders/token_text.h"

namespace corvane {

std::string WordPieceDecoder::cleanup(std::string_view text) {
  using token_text::LiteralReplacer;
  static const std::array<LiteralReplacer, 11> kSteps = {
      LiteralReplacer(" .", "."),         LiteralReplacer(" ?", "?"),     LiteralReplacer(" !", "!"),
      LiteralReplacer(" ,", ","),         LiteralReplacer(" ' ", "'"),    LiteralReplacer(" n't", "n't"),
      LiteralReplacer(" 'm", "'m"),       LiteralReplacer(" do not", " don't"),
      LiteralReplacer(" 's", "'s"),       LiteralReplacer(" 've", "'ve"), LiteralReplacer(" 're", "'re"),
  };
  // Every step needs a space followed by one of ".?!,'nd"; most tokens have none.
  bool may_change = false;
  for (std::size_t i = text.find(' '); i != std::string_view::npos && i + 1 < text.size() && !may_change;
       i = text.find(' ', i + 1)) {
    const char next = text[i + 1];
    may_change = next == '.' || next == '?' || next == '!' || next == ',' || next == '\'' || next == 'n' || next == 'd';
  }
  if (!may_change) return std::string(text);
  std::string s(text);
  for (const LiteralReplacer& step : kSteps) s = step.apply(s);
  return s;
}

std::vector<std::string> WordPieceDecoder::decode_chain(std::vector<std::string> tokens) const {
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    std::string& token = tokens[i];
    if (i != 0) {
      if (token.compare(0, prefix_.size(), prefix_) == 0 && token.size() >= prefix_.size()) {
        token.erase(0, prefix_.size());
      } else {
        token.insert(token.begin(), ' ');
      }
    }
    if (cleanup_) token = cleanup(token);
  }
  return tokens;
}

}  // namespace corvane
