#include "pre_tokenizers/hf/metaspace.h"

#include "pre_tokenizers/hf/char_pattern.h"

namespace corvane::hf {

MetaspacePreTokenizer::MetaspacePreTokenizer(char32_t replacement, PrependScheme prepend_scheme, bool split)
    : replacement_(replacement), prepend_scheme_(prepend_scheme), split_(split) {
  NormalizedText::append_utf8(replacement_utf8_, replacement_);
}

void MetaspacePreTokenizer::pre_tokenize(PreTokenizedText& text) const {
  using Span = PreTokenizedText::Span;
  using Piece = PreTokenizedText::Piece;
  const std::string_view rep(replacement_utf8_);
  text.rewrite([&](const Piece& p, std::string_view s, const Span* spans, PreTokenizedText::Writer& w) {
    if (s.empty()) return;
    // The piece starts with the replacement once its first character is a space or the
    // replacement itself.
    const bool starts_with_rep = s[0] == ' ' || s.substr(0, rep.size()) == rep;
    bool prepend = false;
    if (prepend_scheme_ == PrependScheme::kAlways) prepend = !starts_with_rep;
    if (prepend_scheme_ == PrependScheme::kFirst) prepend = !starts_with_rep && p.original.start == 0;
    if (prepend) w.emit(rep, spans[0]);
    std::size_t run = 0;  // start of the bytes not yet written
    for (std::size_t i = 0; i < s.size(); ++i) {
      if (s[i] != ' ') continue;
      if (run < i) w.emit(s.data() + run, i - run, spans + run);
      w.emit(rep, spans[i]);
      run = i + 1;
    }
    if (run < s.size()) w.emit(s.data() + run, s.size() - run, spans + run);
  });
  if (split_) {
    const char32_t r = replacement_;
    text.split(
        [r](std::string_view s, std::vector<Segment>& out) {
          char_segments(s, [r](char32_t c) { return c == r; }, out);
        },
        SplitBehavior::kMergedWithNext);
  }
}

}  // namespace corvane::hf
