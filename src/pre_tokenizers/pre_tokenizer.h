#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/utf8.h"
#include "pre_tokenizers/ascii_gpt2_scanner.h"
#include "pre_tokenizers/cl100k_scanner.h"
#include "pre_tokenizers/o200k_scanner.h"
#include "pre_tokenizers/r50k_scanner.h"
#include "pre_tokenizers/regex_splitter.h"

namespace corvane {

// Cuts text into pre-tokens by a tiktoken-style pattern (`pat_str`): every match of the
// pattern, in order, is one pre-token; text that no match covers is dropped, as tiktoken
// drops it (the public patterns match every character).
//
// The patterns of the public encodings (gpt2/r50k/p50k, cl100k, o200k) run on hand-written
// linear scanners; any other pattern runs on the regex engine, which is also the scanners'
// test oracle. The fixed ASCII rule of BPETokenizer is a kind of its own.
//
// Text is bytes. Stretches of well-formed UTF-8 are pre-tokenised each as if it were a whole
// text; every byte that is not part of a well-formed character is a pre-token on its own.
// So no byte of the input is lost except where the pattern itself skips valid text.
//
// Immutable after construction; one pre-tokeniser may serve several threads at once.
class PreTokenizer {
 public:
  enum class Kind : uint8_t { kAsciiGpt2, kR50k, kCl100k, kO200k, kRegex };

  // The scanner of a public pattern when `pat_str` is exactly one of them, otherwise the
  // regex engine. Throws std::invalid_argument on a pattern the engine cannot compile.
  static PreTokenizer from_pattern(std::string_view pat_str);
  // The regex engine whatever the pattern (tests compare it with the scanners).
  static PreTokenizer regex_only(std::string_view pat_str);
  // The fixed ASCII rule of BPETokenizer (no UTF-8 handling: every byte counts as itself).
  static PreTokenizer ascii_gpt2();
  // That rule written as a pattern (its pattern()): on well-formed UTF-8 the regex engine
  // cuts text by it exactly as the ASCII scanner does.
  static constexpr std::string_view kAsciiGpt2Pattern =
      R"('(?:[sdmt]|ll|ve|re)| ?[A-Za-z]+| ?[0-9]+| ?[^\t\n\x0B\f\r A-Za-z0-9]+|)"
      R"([\t\n\x0B\f\r ]+(?![^\t\n\x0B\f\r ])|[\t\n\x0B\f\r ]+)";

  Kind kind() const { return kind_; }
  const std::string& pattern() const { return pattern_; }

  // Calls emit(std::string_view piece) for each pre-token, in text order.
  template <class Emit>
  void split(std::string_view text, Emit&& emit) const;

 private:
  template <class Scanner, class Emit>
  static void scan_stretches(std::string_view text, Emit& emit);
  template <class Emit>
  void regex_stretches(std::string_view text, Emit& emit) const;

  Kind kind_ = Kind::kAsciiGpt2;
  std::string pattern_;
  std::shared_ptr<const RegexSplitter> regex_;
};

// Calls fn(begin, end, valid) over `text` cut into maximal well-formed UTF-8 stretches
// (valid) and single bytes that begin no well-formed character (not valid), in order.
template <class Fn>
inline void for_each_utf8_stretch(std::string_view text, Fn&& fn) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t start = 0, i = 0;
  while (i < n) {
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    const std::size_t len = Utf8::char_length(s + i, n - i);
    if (len) {
      i += len;
      continue;
    }
    if (i > start) fn(start, i, true);
    fn(i, i + 1, false);
    start = ++i;
  }
  if (n > start) fn(start, n, true);
}

template <class Scanner, class Emit>
void PreTokenizer::scan_stretches(std::string_view text, Emit& emit) {
  for_each_utf8_stretch(text, [&](std::size_t b, std::size_t e, bool valid) {
    const std::string_view part = text.substr(b, e - b);
    if (!valid) {
      emit(part);
      return;
    }
    for (std::size_t pos = 0; pos < part.size();) {
      const std::size_t len = Scanner::next_length(part, pos);
      emit(part.substr(pos, len));
      pos += len;
    }
  });
}

template <class Emit>
void PreTokenizer::regex_stretches(std::string_view text, Emit& emit) const {
  for_each_utf8_stretch(text, [&](std::size_t b, std::size_t e, bool valid) {
    const std::string_view part = text.substr(b, e - b);
    if (!valid) {
      emit(part);
      return;
    }
    regex_->split(part, [&](std::size_t mb, std::size_t me) { emit(part.substr(mb, me - mb)); });
  });
}

template <class Emit>
void PreTokenizer::split(std::string_view text, Emit&& emit) const {
  switch (kind_) {
    case Kind::kAsciiGpt2:
      AsciiGpt2Scanner::split(text, emit);
      return;
    case Kind::kR50k:
      scan_stretches<R50kScanner>(text, emit);
      return;
    case Kind::kCl100k:
      scan_stretches<Cl100kScanner>(text, emit);
      return;
    case Kind::kO200k:
      scan_stretches<O200kScanner>(text, emit);
      return;
    case Kind::kRegex:
      regex_stretches(text, emit);
      return;
  }
}

}  // namespace corvane
