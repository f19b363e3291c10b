#include "decoders/byte_level.h"

#include "core/byte_level.h"
#include "core/utf8.h"
#include "decoders/token_text.h"

namespace corvane {

std::vector<std::string> ByteLevelDecoder::decode_chain(std::vector<std::string> tokens) const {
  std::size_t total = 0;
  for (const std::string& t : tokens) total += t.size();
  std::string bytes;
  bytes.reserve(total);
  for (const std::string& t : tokens) {
    const std::size_t base = bytes.size();
    bool all_bytes = true;
    for (std::size_t i = 0; i < t.size();) {
      std::size_t len = 0;
      const char32_t cp = token_text::char_at(t, i, len);
      const int b = cp == token_text::kNotAChar ? -1 : ByteLevel::byte_of(cp);
      if (b < 0) {
        all_bytes = false;
        break;
      }
      bytes.push_back(static_cast<char>(b));
      i += len;
    }
    if (!all_bytes) {
      bytes.resize(base);
      bytes += t;
    }
  }
  std::string text;
  text.reserve(bytes.size());
  Utf8::append_lossy(bytes, text);
  std::vector<std::string> out;
  out.push_back(std::move(text));
  return out;
}

}  // namespace corvane
