#include "decoders/replace.h"

#include <utility>

#include "core/utf8.h"

namespace corvane {

ReplaceDecoder::ReplaceDecoder(std::string literal, std::string content)
    : literal_(std::make_unique<token_text::LiteralReplacer>(std::move(literal), content)), content_(std::move(content)) {}

ReplaceDecoder::ReplaceDecoder(std::unique_ptr<OnigRegex> regex, std::string content)
    : regex_(std::move(regex)), content_(std::move(content)) {}

std::unique_ptr<ReplaceDecoder> ReplaceDecoder::regex(std::string_view pattern, std::string content) {
  return std::unique_ptr<ReplaceDecoder>(new ReplaceDecoder(std::make_unique<OnigRegex>(pattern), std::move(content)));
}

namespace {

// Calls fn(begin, end, valid) over `text` cut into well-formed UTF-8 stretches and single
// bytes that begin no character, in order: a (possibly empty) stretch before each such
// byte and one at the end, so that every character boundary is inside or at the end of a
// stretch.
template <class Fn>
void for_each_stretch(std::string_view text, Fn&& fn) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t begin = 0, i = 0;
  while (i < text.size()) {
    const std::size_t len = s[i] < 0x80 ? 1 : Utf8::char_length(s + i, text.size() - i);
    if (len > 0) {
      i += len;
      continue;
    }
    fn(begin, i, true);
    fn(i, i + 1, false);
    begin = ++i;
  }
  fn(begin, i, true);
}

}  // namespace

std::vector<std::string> ReplaceDecoder::decode_chain(std::vector<std::string> tokens) const {
  for (std::string& token : tokens) {
    if (token.empty()) continue;
    if (literal_) {
      token = literal_->apply(token);
      continue;
    }
    // The engine reads well-formed UTF-8 only: a byte that begins no character is kept as
    // it is, and matches are searched in the stretches around such bytes.
    std::string out;
    bool changed = false;
    for_each_stretch(token, [&](std::size_t begin, std::size_t end, bool valid) {
      const std::string_view piece(token.data() + begin, end - begin);
      if (!valid) {
        out.append(piece);
        return;
      }
      std::size_t done = 0;
      for (const auto& [start, stop] : regex_->find_all(piece)) {
        out.append(piece.substr(done, start - done));
        out += content_;
        done = stop;
        changed = true;
      }
      out.append(piece.substr(done));
    });
    if (changed) token = std::move(out);
  }
  return tokens;
}

}  // namespace corvane
