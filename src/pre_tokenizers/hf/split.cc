#include "pre_tokenizers/hf/split.h"

#include <cstring>

#include "pre_tokenizers/hf/char_pattern.h"
#include "pre_tokenizers/hf/known_patterns.h"
#include "pre_tokenizers/hf/onig_unicode.h"

namespace corvane::hf {

SplitPreTokenizer::SplitPreTokenizer(PatternKind kind, std::string pattern, SplitBehavior behavior, bool invert)
    : kind_(kind), pattern_(std::move(pattern)), behavior_(behavior), invert_(invert) {
  if (kind_ != PatternKind::kRegex) return;
  scanner_ = known_pattern_scanner(pattern_);
  if (!scanner_) regex_ = std::make_unique<OnigRegex>(pin_unicode_classes(pattern_));
}

void SplitPreTokenizer::segments(std::string_view text, std::vector<Segment>& out) const {
  std::size_t prev = 0;
  auto on_match = [&](std::size_t b, std::size_t e) {
    if (prev != b) out.push_back(Segment{prev, b, false});
    out.push_back(Segment{b, e, true});
    prev = e;
  };
  if (text.empty()) {
    out.push_back(Segment{0, 0, false});
    return;
  }
  if (scanner_) {
    scanner_(text, out);
    return;
  }
  if (kind_ == PatternKind::kRegex) {
    for (const auto& [b, e] : regex_->find_all(text)) on_match(b, e);
  } else if (pattern_.empty()) {
    // The empty pattern matches at every character boundary, the end included.
    for (std::size_t i = 0; i < text.size();) {
      on_match(i, i);
      next_char(text, i);
    }
    on_match(text.size(), text.size());
  } else {
    const std::string_view p(pattern_);
    for (std::size_t at = text.find(p); at != std::string_view::npos; at = text.find(p, at + p.size())) {
      on_match(at, at + p.size());
    }
  }
  if (prev != text.size()) out.push_back(Segment{prev, text.size(), false});
}

void SplitPreTokenizer::pre_tokenize(PreTokenizedText& text) const {
  text.split(
      [this](std::string_view s, std::vector<Segment>& out) {
        segments(s, out);
        if (invert_) invert_segments(out);
      },
      behavior_);
}

}  // namespace corvane::hf
