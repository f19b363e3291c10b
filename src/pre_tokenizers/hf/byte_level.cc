#include "pre_tokenizers/hf/byte_level.h"

#include <array>
#include <string>

#include "core/byte_level.h"
#include "pre_tokenizers/hf/gpt2_splitter.h"

namespace corvane::hf {

namespace {

// UTF-8 of the stand-in character of each byte (one or two bytes long).
struct StandIns {
  char bytes[256][2] = {};
  std::array<uint8_t, 256> length{};
  StandIns() {
    for (int b = 0; b < 256; ++b) {
      std::string s;
      NormalizedText::append_utf8(s, ByteLevel::char_of(static_cast<unsigned char>(b)));
      length[b] = static_cast<uint8_t>(s.size());
      for (std::size_t k = 0; k < s.size(); ++k) bytes[b][k] = s[k];
    }
  }
};

const StandIns& stand_ins() {
  static const StandIns t;
  return t;
}

}  // namespace

ByteLevelPreTokenizer::ByteLevelPreTokenizer(bool add_prefix_space, bool trim_offsets, bool use_regex)
    : add_prefix_space_(add_prefix_space), trim_offsets_(trim_offsets), use_regex_(use_regex) {}

void ByteLevelPreTokenizer::pre_tokenize(PreTokenizedText& text) const {
  using Span = PreTokenizedText::Span;
  using Piece = PreTokenizedText::Piece;
  if (add_prefix_space_) {
    text.rewrite([](const Piece&, std::string_view s, const Span* spans, PreTokenizedText::Writer& w) {
      if (!s.empty() && s[0] != ' ') w.emit(" ", spans[0]);
      w.emit(s.data(), s.size(), spans);
    });
  }
  if (use_regex_) {
    text.split([](std::string_view s, std::vector<Segment>& out) { gpt2_segments(s, out); },
               SplitBehavior::kIsolated);
  }
  const StandIns& t = stand_ins();
  text.rewrite([&t](const Piece&, std::string_view s, const Span* spans, PreTokenizedText::Writer& w) {
    // Every byte of one character carries that character's span.
    w.emit_each_byte(s.data(), s.size(), spans, t.bytes, t.length.data());
  });
}

}  // namespace corvane::hf
