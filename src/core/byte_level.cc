#include "core/byte_level.h"

#include <array>

namespace corvane {

namespace {

constexpr bool stands_for_itself(unsigned b) {
  return (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || (b >= 0xAE && b <= 0xFF);
}

// Every stand-in is below U+0144: the printable bytes are at most U+00FF and the 68 others
// take U+0100..U+0143.
constexpr char32_t kLimit = 0x144;

struct Tables {
  std::array<char32_t, 256> char_of{};
  std::array<int16_t, kLimit> byte_of{};
};

constexpr Tables make_tables() {
  Tables t;
  for (char32_t cp = 0; cp < kLimit; ++cp) t.byte_of[cp] = -1;
  char32_t next = 0x100;
  for (unsigned b = 0; b < 256; ++b) {
    const char32_t cp = stands_for_itself(b) ? static_cast<char32_t>(b) : next++;
    t.char_of[b] = cp;
    t.byte_of[cp] = static_cast<int16_t>(b);
  }
  return t;
}

constexpr Tables kTables = make_tables();
static_assert(kTables.char_of[' '] == 0x120, "the space byte stands as U+0120");
static_assert(kTables.char_of[0xAD] == 0x143, "the last non-printable byte stands as U+0143");

}  // namespace

char32_t ByteLevel::char_of(unsigned char b) { return kTables.char_of[b]; }

int ByteLevel::byte_of(char32_t cp) { return cp < kLimit ? kTables.byte_of[cp] : -1; }

bool ByteLevel::all_stand_ins(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      if (byte_of(c) < 0) return false;  // the space and control characters
      ++i;
      continue;
    }
    // Every other stand-in is a two-byte sequence (U+0080..U+07FF).
    if (c < 0xC2 || c > 0xDF || i + 1 >= n || (s[i + 1] & 0xC0) != 0x80) return false;
    if (byte_of((static_cast<char32_t>(c & 0x1F) << 6) | (s[i + 1] & 0x3F)) < 0) return false;
    i += 2;
  }
  return true;
}

void ByteLevel::to_bytes(std::string_view text, std::string& out) {
  // Each character gives at most as many bytes as it has, so the output fits in
  // text.size() bytes: write in place and trim at the end.
  const std::size_t base = out.size();
  out.resize(base + text.size());
  char* dst = out.data() + base;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = s[i];
    // ASCII: the printable bytes stand for themselves, and the space and control
    // characters stand for no byte, so they are kept as they are; either way the byte
    // is copied.
    if (c < 0x80) {
      *dst++ = static_cast<char>(c);
      ++i;
      continue;
    }
    // All other stand-ins are two-byte sequences (U+0080..U+07FF).
    if (c >= 0xC2 && c <= 0xDF && i + 1 < n && (s[i + 1] & 0xC0) == 0x80) {
      const char32_t cp = (static_cast<char32_t>(c & 0x1F) << 6) | (s[i + 1] & 0x3F);
      const int b = byte_of(cp);
      if (b >= 0) {
        *dst++ = static_cast<char>(b);
      } else {
        *dst++ = static_cast<char>(c);
        *dst++ = static_cast<char>(s[i + 1]);
      }
      i += 2;
      continue;
    }
    // A longer character (or a stray byte) stands for no byte: copied as it is. Copying
    // its lead byte here and its continuation bytes on the next steps keeps it intact.
    *dst++ = static_cast<char>(c);
    ++i;
  }
  out.resize(static_cast<std::size_t>(dst - out.data()));
}

}  // namespace corvane
