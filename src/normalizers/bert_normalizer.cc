#include "normalizers/bert_normalizer.h"

#include <string_view>
#include <vector>

#include "core/pinned_unicode.h"
#include "core/unicode.h"
#include "normalizers/unicode_normalization.h"

namespace corvane {

bool BertNormalizer::is_chinese_char(char32_t cp) {
  return (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x20000 && cp <= 0x2A6DF) ||
         (cp >= 0x2A700 && cp <= 0x2B73F) || (cp >= 0x2B740 && cp <= 0x2B81F) || (cp >= 0x2B920 && cp <= 0x2CEAF) ||
         (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0x2F800 && cp <= 0x2FA1F);
}

namespace {

// Whether every byte is ASCII other than the control characters that cleaning removes
// (all but tab, line feed and carriage return): then no step changes the length of any
// character, and the text can be rewritten in place.
bool plain_ascii(std::string_view s) {
  for (unsigned char c : s) {
    if (c >= 0x7F || (c < 0x20 && c != '\t' && c != '\n' && c != '\r')) return false;
  }
  return true;
}

}  // namespace

void BertNormalizer::normalize(NormalizedText& text) const {
  if (plain_ascii(text.normalized())) {
    // No Chinese characters and no accents to strip; cleaning turns tab, line feed and
    // carriage return into spaces; lowercasing is A-Z only.
    unsigned char table[128];
    for (int c = 0; c < 128; ++c) {
      char32_t m = static_cast<char32_t>(c);
      if (clean_text_ && (c == '\t' || c == '\n' || c == '\r')) m = ' ';
      if (lowercase_ && m >= 'A' && m <= 'Z') m += 32;
      table[c] = static_cast<unsigned char>(m);
    }
    text.map_ascii_in_place(table);
    return;
  }
  if (clean_text_) {
    text.filter([](char32_t c) {
      if (c == '\t' || c == '\n' || c == '\r') return true;
      return !(c == 0 || c == 0xFFFD || pinned_unicode::is_control_format_or_private(c));
    });
    text.map([](char32_t c) { return unicode::is_white_space(c) ? U' ' : c; });
  }
  if (handle_chinese_chars_) {
    const std::u32string chars = text.chars();
    bool any = false;
    for (char32_t c : chars) any = any || is_chinese_char(c);
    if (any) {
      std::vector<NormalizedText::Change> dest;
      dest.reserve(chars.size() + 16);
      for (char32_t c : chars) {
        if (is_chinese_char(c)) {
          dest.push_back({U' ', 0});
          dest.push_back({c, 1});
          dest.push_back({U' ', 1});
        } else {
          dest.push_back({c, 0});
        }
      }
      text.transform(dest, 0);
    }
  }
  if (strip_accents_) {
    UnicodeNormalization(UnicodeNormalization::Form::NFD).normalize(text);
    text.filter([](char32_t c) { return !pinned_unicode::is_nonspacing_mark(c); });
  }
  if (lowercase_) text.lowercase();
}

}  // namespace corvane
