#include "core/grapheme_clusters.h"

#include <unicode/uchar.h>

#include <cstdint>

namespace corvane {

namespace {

enum Gcb : uint8_t { kOther, kCR, kLF, kControl, kExtend, kZWJ, kRI, kPrepend, kSpacingMark, kL, kV, kT, kLV, kLVT };

struct CharInfo {
  Gcb gcb;
  bool pictographic;
};

CharInfo info(char32_t c) {
  if (c < 0x80) {
    if (c == '\r') return {kCR, false};
    if (c == '\n') return {kLF, false};
    if (c < 0x20 || c == 0x7F) return {kControl, false};
    return {kOther, false};
  }
  const auto cp = static_cast<UChar32>(c);
  const bool pict = u_hasBinaryProperty(cp, UCHAR_EXTENDED_PICTOGRAPHIC);
  switch (u_getIntPropertyValue(cp, UCHAR_GRAPHEME_CLUSTER_BREAK)) {
    case U_GCB_CR: return {kCR, pict};
    case U_GCB_LF: return {kLF, pict};
    case U_GCB_CONTROL: return {kControl, pict};
    case U_GCB_EXTEND: return {kExtend, pict};
    case U_GCB_ZWJ: return {kZWJ, pict};
    case U_GCB_REGIONAL_INDICATOR: return {kRI, pict};
    case U_GCB_PREPEND: return {kPrepend, pict};
    case U_GCB_SPACING_MARK: return {kSpacingMark, pict};
    case U_GCB_L: return {kL, pict};
    case U_GCB_V: return {kV, pict};
    case U_GCB_T: return {kT, pict};
    case U_GCB_LV: return {kLV, pict};
    case U_GCB_LVT: return {kLVT, pict};
    default: return {kOther, pict};
  }
}

char32_t decode(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  const std::size_t len = b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
  char32_t c = b0 & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
  for (std::size_t k = 1; k < len && i + k < s.size(); ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += len;
  return c;
}

}  // namespace

std::size_t GraphemeClusters::next_boundary(std::string_view text, std::size_t begin) {
  std::size_t i = begin;
  CharInfo prev = info(decode(text, i));
  // State of the emoji rule (GB11): 1 after "ExtPict Extend*", 2 after "ExtPict Extend* ZWJ".
  int emoji = prev.pictographic ? 1 : 0;
  std::size_t ri_count = prev.gcb == kRI ? 1 : 0;
  while (i < text.size()) {
    std::size_t j = i;
    const CharInfo next = info(decode(text, j));
    bool join;
    if (prev.gcb == kCR && next.gcb == kLF) {
      join = true;  // GB3
    } else if (prev.gcb == kCR || prev.gcb == kLF || prev.gcb == kControl) {
      join = false;  // GB4
    } else if (next.gcb == kCR || next.gcb == kLF || next.gcb == kControl) {
      join = false;  // GB5
    } else if (prev.gcb == kL && (next.gcb == kL || next.gcb == kV || next.gcb == kLV || next.gcb == kLVT)) {
      join = true;  // GB6
    } else if ((prev.gcb == kLV || prev.gcb == kV) && (next.gcb == kV || next.gcb == kT)) {
      join = true;  // GB7
    } else if ((prev.gcb == kLVT || prev.gcb == kT) && next.gcb == kT) {
      join = true;  // GB8
    } else if (next.gcb == kExtend || next.gcb == kZWJ) {
      join = true;  // GB9
    } else if (next.gcb == kSpacingMark) {
      join = true;  // GB9a
    } else if (prev.gcb == kPrepend) {
      join = true;  // GB9b
    } else if (emoji == 2 && next.pictographic) {
      join = true;  // GB11
    } else if (prev.gcb == kRI && next.gcb == kRI) {
      join = ri_count % 2 == 1;  // GB12, GB13
    } else {
      join = false;  // GB999
    }
    if (!join) break;
    if (next.pictographic) {
      emoji = 1;
    } else if (emoji == 1 && next.gcb == kExtend) {
      emoji = 1;
    } else if (emoji == 1 && next.gcb == kZWJ) {
      emoji = 2;
    } else {
      emoji = 0;
    }
    ri_count = next.gcb == kRI ? ri_count + 1 : 0;
    prev = next;
    i = j;
  }
  return i;
}

}  // namespace corvane
