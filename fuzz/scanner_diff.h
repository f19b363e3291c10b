#pragma once

// The differential check of the hand-written pre-tokenisation scanners: a public pattern's
// scanner (PreTokenizer::from_pattern) against the regex engine running the same pattern
// (PreTokenizer::regex_only), which must cut every input into the same pieces.
//
// Each input is compared twice: as raw bytes (so invalid UTF-8 and the stretches around it
// are covered), and mapped byte by byte onto an alphabet of characters the patterns treat
// differently (cased and uncased letters of several scripts, marks, numbers of other
// scripts, every White_Space character, apostrophes and the letters of the contractions in
// both cases with U+017F, \r, \n, '/', emoji with ZWJ, characters beyond U+FFFF), which
// random bytes seldom spell as valid UTF-8.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "pre_tokenizers/pre_tokenizer.h"

namespace scannerfuzz {

inline constexpr const char* kAlphabet[] = {
    // ASCII letters, with the contractions' letters in both cases.
    "a", "b", "e", "z", "s", "t", "d", "m", "l", "v", "r", "k",
    "A", "B", "E", "Z", "S", "T", "D", "M", "L", "V", "R", "K",
    "'", "'", "'", "\xC5\xBF" /* U+017F long s */, "\xE2\x84\xAA" /* U+212A Kelvin */,
    "0", "1", "9", " ", " ", " ", " ", "\t", "\n", "\n", "\r", "\r\n", "\x0B", "\x0C",
    "/", "/", "!", ".", ",", "-", "_", "\"", "(", "#", "\x7F", "\x01",
    // Letters beyond ASCII: Ll, Lu, Lt, Lm, Lo.
    "\xC3\xA9" /* é */, "\xC3\x89" /* É */, "\xC3\x9F" /* ß */, "\xCE\xB2" /* β */,
    "\xCE\x94" /* Δ */, "\xD0\xB4" /* д */, "\xD0\x96" /* Ж */, "\xC7\x85" /* ǅ Lt */,
    "\xE1\xBE\x88" /* ᾈ Lt */, "\xCA\xB0" /* ʰ Lm */, "\xE3\x83\xBC" /* ー Lm */,
    "\xC2\xAA" /* ª Lo */, "\xE4\xB8\xAD" /* 中 */, "\xE6\x96\x87" /* 文 */,
    "\xE3\x81\x82" /* あ */, "\xD7\x90" /* א */, "\xD8\xA7" /* ا */, "\xE0\xA4\x95" /* क */,
    "\xE0\xB8\x81" /* ก */, "\xEA\xB0\x80" /* 가 */, "\xC4\xB0" /* İ */, "\xC4\xB1" /* ı */,
    "\xEF\xBD\x81" /* ａ */, "\xEF\xBC\xA1" /* Ａ */,
    // Marks: Mn, Mc, Me.
    "\xCC\x81" /* U+0301 */, "\xCC\x88" /* U+0308 */, "\xD9\x8E" /* U+064E */,
    "\xE0\xA4\xBE" /* U+093E Mc */, "\xE0\xA4\x83" /* U+0903 Mc */, "\xE2\x83\x9D" /* U+20DD Me */,
    "\xE0\xA5\x8D" /* U+094D */, "\xEF\xB8\x8F" /* U+FE0F */,
    // Numbers: Nd of other scripts, Nl, No.
    "\xD9\xA1" /* ١ */, "\xDB\xB2" /* ۲ */, "\xE0\xA5\xA9" /* ३ */, "\xEF\xBC\x95" /* ５ */,
    "\xE2\x85\xA0" /* Ⅰ Nl */, "\xE3\x80\x87" /* 〇 Nl */, "\xC2\xBD" /* ½ No */,
    "\xC2\xB2" /* ² No */, "\xE2\x91\xA0" /* ① No */,
    // White_Space beyond ASCII.
    "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x83", "\xE2\x80\x8A",
    "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
    // Not White_Space though space-like or invisible: U+200B, U+180E, U+FEFF, U+2060.
    "\xE2\x80\x8B", "\xE1\xA0\x8E", "\xEF\xBB\xBF", "\xE2\x81\xA0",
    // Punctuation and symbols beyond ASCII; apostrophe look-alikes.
    "\xE2\x80\x99" /* ’ */, "\xCA\xBC" /* ʼ Lm */, "\xE2\x80\x94" /* — */, "\xE2\x80\xA6" /* … */,
    "\xC2\xAB" /* « */, "\xE2\x82\xAC" /* € */, "\xC2\xA9" /* © */, "\xE3\x80\x82" /* 。 */,
    // Emoji, ZWJ sequences, flags; characters beyond U+FFFF of each class.
    "\xF0\x9F\x98\x80" /* 😀 */, "\xE2\x80\x8D" /* ZWJ */, "\xF0\x9F\x91\xA9" /* 👩 */,
    "\xF0\x9F\x8F\xBD" /* skin tone */, "\xF0\x9F\x87\xAB" /* regional F */,
    "\xF0\x90\x90\x80" /* 𐐀 Lu */, "\xF0\x90\x90\xA8" /* 𐐨 Ll */, "\xF0\xA0\x80\x80" /* 𠀀 Lo */,
    "\xF0\x9D\x9F\x8E" /* 𝟎 Nd */, "\xF0\x90\x8D\x81" /* 𐍁 Nl */, "\xF0\x9D\x85\xA5" /* Mc */,
    "\xF3\xA0\x80\x81" /* tag */, "\xF4\x8F\xBF\xBF" /* U+10FFFF */, "\xEE\x80\x80" /* private */,
    "\xEF\xBF\xBD" /* U+FFFD */, "\xCD\xB8" /* unassigned U+0378 */,
};
inline constexpr std::size_t kAlphabetSize = sizeof kAlphabet / sizeof kAlphabet[0];

// The pieces' end offsets, into `ends` (the pieces must tile the text, which is checked
// too).
inline void piece_ends(const corvane::PreTokenizer& p, std::string_view text,
                       std::vector<std::size_t>& ends) {
  ends.clear();
  std::size_t at = 0;
  p.split(text, [&](std::string_view piece) {
    FUZZ_CHECK(piece.data() == text.data() + at && !piece.empty(),
               "pieces do not tile " + fuzzsupport::show(text));
    at += piece.size();
    ends.push_back(at);
  });
  FUZZ_CHECK(at == text.size(), "pieces do not cover " + fuzzsupport::show(text));
}

inline std::string show_pieces(std::string_view text, const std::vector<std::size_t>& ends) {
  std::string out;
  std::size_t b = 0;
  for (std::size_t e : ends) {
    out += fuzzsupport::show(text.substr(b, e - b)) + " ";
    b = e;
  }
  return out;
}

inline void compare(const corvane::PreTokenizer& scanner, const corvane::PreTokenizer& regex,
                    std::string_view text) {
  // Kept between inputs: allocation would cost more than the cutting.
  static std::vector<std::size_t> got, want;
  piece_ends(scanner, text, got);
  piece_ends(regex, text, want);
  FUZZ_CHECK(got == want, "scanner cut " + fuzzsupport::show(text) + " into " +
                              show_pieces(text, got) + "\nthe regex engine into " +
                              show_pieces(text, want));
}

// Compares `scanner` (a public pattern on its scanner) with `regex` (the same pattern on
// the regex engine) on the input, raw and mapped onto kAlphabet.
inline void run(const corvane::PreTokenizer& scanner, const corvane::PreTokenizer& regex,
                corvane::PreTokenizer::Kind kind, const uint8_t* data, std::size_t size) {
  FUZZ_CHECK(scanner.kind() == kind && regex.kind() == corvane::PreTokenizer::Kind::kRegex,
             "the public pattern is not on its scanner");
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  compare(scanner, regex, raw);
  static std::string mapped;
  mapped.clear();
  for (std::size_t i = 0; i < size; ++i) mapped += kAlphabet[data[i] % kAlphabetSize];
  compare(scanner, regex, mapped);
}

}  // namespace scannerfuzz
