#include "decoders/metaspace.h"

#include "decoders/token_text.h"

namespace corvane {

std::vector<std::string> MetaspaceDecoder::decode_chain(std::vector<std::string> tokens) const {
  std::string rep;
  token_text::append_char(rep, replacement_);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    std::string& token = tokens[i];
    if (token.find(rep) == std::string::npos) continue;
    const bool drop = i == 0 && scheme_ != PrependScheme::kNever;
    std::string out;
    out.reserve(token.size());
    for (std::size_t k = 0; k < token.size();) {
      std::size_t len = 0;
      const char32_t cp = token_text::char_at(token, k, len);
      if (cp == replacement_) {
        if (!drop) out.push_back(' ');
      } else {
        out.append(token, k, len);
      }
      k += len;
    }
    token = std::move(out);
  }
  return tokens;
}

}  // namespace corvane
