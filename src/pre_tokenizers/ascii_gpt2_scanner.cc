#include "pre_tokenizers/ascii_gpt2_scanner.h"

namespace corvane {

namespace {

constexpr uint8_t classify(unsigned c) {
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return AsciiGpt2Scanner::kSpace;
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return AsciiGpt2Scanner::kLetter;
  if (c >= '0' && c <= '9') return AsciiGpt2Scanner::kDigit;
  return AsciiGpt2Scanner::kOther;
}

struct ClassTable {
  uint8_t v[256];
  constexpr ClassTable() : v() {
    for (unsigned c = 0; c < 256; ++c) v[c] = classify(c);
  }
};

constexpr ClassTable kTable{};

}  // namespace

const uint8_t AsciiGpt2Scanner::kClasses[256] = {
#define C(i) kTable.v[i]
#define R16(b) C(b), C(b + 1), C(b + 2), C(b + 3), C(b + 4), C(b + 5), C(b + 6), C(b + 7), \
               C(b + 8), C(b + 9), C(b + 10), C(b + 11), C(b + 12), C(b + 13), C(b + 14), C(b + 15)
    R16(0x00), R16(0x10), R16(0x20), R16(0x30), R16(0x40), R16(0x50), R16(0x60), R16(0x70),
    R16(0x80), R16(0x90), R16(0xA0), R16(0xB0), R16(0xC0), R16(0xD0), R16(0xE0), R16(0xF0),
#undef R16
#undef C
};

}  // namespace corvane
