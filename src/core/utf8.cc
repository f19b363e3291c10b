#include "core/utf8.h"

namespace corvane {

std::size_t Utf8::char_length(const unsigned char* s, std::size_t n) {
  const unsigned char c = s[0];
  if (c < 0x80) return 1;
  auto cont = [&](std::size_t i, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
    return i < n && s[i] >= lo && s[i] <= hi;
  };
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c == 0xE0) return cont(1, 0xA0) && cont(2) ? 3 : 0;
  if (c == 0xED) return cont(1, 0x80, 0x9F) && cont(2) ? 3 : 0;
  if (c >= 0xE1 && c <= 0xEF) return cont(1) && cont(2) ? 3 : 0;
  if (c == 0xF0) return cont(1, 0x90) && cont(2) && cont(3) ? 4 : 0;
  if (c >= 0xF1 && c <= 0xF3) return cont(1) && cont(2) && cont(3) ? 4 : 0;
  if (c == 0xF4) return cont(1, 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
  return 0;
}

std::string Utf8::repair(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t len = char_length(s + i, text.size() - i);
    if (len == 0) {
      out.append("\xEF\xBF\xBD");
      ++i;
    } else {
      out.append(text.data() + i, len);
      i += len;
    }
  }
  return out;
}

}  // namespace corvane
