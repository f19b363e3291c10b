#include "core/utf8.h"

#include <cstdint>
#include <cstring>

namespace corvane {

bool Utf8::is_valid(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    // Eight ASCII bytes at a time, then one character.
    uint64_t word;
    if (i + 8 <= n && (std::memcpy(&word, p + i, 8), (word & 0x8080808080808080ull) == 0)) {
      i += 8;
      continue;
    }
    const std::size_t len = char_length(p + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

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

void Utf8::append_lossy(std::string_view text, std::string& out) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // Copy the longest well-formed run at once.
    std::size_t j = i;
    while (j < n) {
      if (s[j] < 0x80) {
        ++j;
        continue;
      }
      const std::size_t len = char_length(s + j, n - j);
      if (len == 0) break;
      j += len;
    }
    out.append(text.data() + i, j - i);
    if (j == n) break;
    // s[j] begins an ill-formed sequence. Its maximal subpart is the lead byte plus the
    // continuation bytes that keep it a valid prefix (the second byte's range depends on
    // the lead, as in char_length); a byte that cannot lead at all is a subpart alone.
    const unsigned char c = s[j];
    std::size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    }
    std::size_t k = j + 1;
    if (need > 0 && k < n && s[k] >= lo && s[k] <= hi) {
      ++k;
      while (k < n && k < j + 1 + need && s[k] >= 0x80 && s[k] <= 0xBF) ++k;
    }
    out.append("\xEF\xBF\xBD");
    i = k;
  }
}

}  // namespace corvane
