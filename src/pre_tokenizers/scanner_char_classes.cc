#include "pre_tokenizers/scanner_char_classes.h"

#include "core/unicode.h"

namespace corvane::scan {

namespace {

constexpr uint8_t class_of_category(unicode::Category c) {
  using namespace unicode;
  switch (c) {
    case Lu:
    case Lt:
      return kL | kUpper;
    case Ll:
      return kL | kLower;
    case Lm:
    case Lo:
      return kL | kModOther;
    case Mn:
    case Mc:
    case Me:
      return kMark;
    case Nd:
    case Nl:
    case No:
      return kN;
    default:
      return 0;
  }
}

uint8_t class_of(char32_t cp) {
  uint8_t cls = class_of_category(unicode::category(cp));
  if (unicode::is_white_space(cp)) cls |= kS;
  if (cp == '\r' || cp == '\n') cls |= kNewline;
  return cls;
}

}  // namespace

// The generated category tables are constant-initialised, so they are ready before this
// dynamic initialisation runs.
BmpClassTable::BmpClassTable() : v() {
  for (char32_t cp = 0; cp < 0x10000; ++cp) v[cp] = class_of(cp);
}

const BmpClassTable kBmpClasses;

uint8_t supplementary_class(char32_t cp) { return class_of(cp); }

}  // namespace corvane::scan
