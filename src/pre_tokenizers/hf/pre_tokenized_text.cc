#include "pre_tokenizers/hf/pre_tokenized_text.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "core/utf8.h"

namespace corvane::hf {

PreTokenizedText::PreTokenizedText(std::string original) : original_(std::move(original)) {
  if (original_.size() >= std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("text is too long to pre-tokenize (4 GiB or more)");
  }
}

PreTokenizedText::PreTokenizedText(const NormalizedText& text) : PreTokenizedText(text.original()) {
  add_piece(text, 0);
}

PreTokenizedText PreTokenizedText::from_original(std::string_view original) {
  PreTokenizedText t{std::string(original)};
  t.buffer_ = t.original_;
  t.spans_.reserve(original.size());
  const auto* s = reinterpret_cast<const unsigned char*>(original.data());
  for (std::size_t i = 0; i < original.size();) {
    const std::size_t len = Utf8::char_length(s + i, original.size() - i);
    if (len == 0) throw std::invalid_argument("text is not valid UTF-8");
    t.spans_.insert(t.spans_.end(), len, Span{static_cast<uint32_t>(i), static_cast<uint32_t>(i + len)});
    i += len;
  }
  t.pieces_.push_back(Piece{0, original.size(), Span{0, static_cast<uint32_t>(original.size())}, -1});
  return t;
}

void PreTokenizedText::add_piece(std::string_view normalized, const Span* spans, uint32_t shift, Span original,
                                 int64_t token) {
  Piece p;
  p.begin = buffer_.size();
  buffer_.append(normalized);
  p.end = buffer_.size();
  // No exact reserve here: pieces are added one after another, and growing the buffer to
  // each new size exactly would copy it whole for every piece.
  for (std::size_t i = 0; i < normalized.size(); ++i) {
    spans_.push_back(Span{spans[i].start + shift, spans[i].end + shift});
  }
  p.original = original;
  p.token = token;
  pieces_.push_back(p);
}

void PreTokenizedText::add_whole(NormalizedText&& part, uint32_t shift, Span original, int64_t token) {
  if (shift != 0 || !buffer_.empty() || !spans_.empty()) {
    add_piece(part.normalized(), part.alignments().data(), shift, original, token);
    return;
  }
  part.release(buffer_, spans_);
  pieces_.push_back(Piece{0, buffer_.size(), original, token});
}

PreTokenizedText::Piece PreTokenizedText::slice(const Piece& parent, std::size_t begin, std::size_t end) const {
  Piece p;
  p.begin = parent.begin + begin;
  p.end = parent.begin + end;
  p.token = -1;
  // As `tokenizers` slices: the original range runs from the start of the first byte's span
  // to the end of the last byte's span, and is empty when those are out of order.
  const uint32_t start = spans_[p.begin].start;
  const uint32_t stop = spans_[p.end - 1].end;
  p.original = Span{start, stop >= start ? stop : start};
  return p;
}

void PreTokenizedText::apply_behavior(const std::vector<Segment>& segments, SplitBehavior behavior,
                                      std::vector<std::pair<std::size_t, std::size_t>>& out) {
  switch (behavior) {
    case SplitBehavior::kIsolated:
      for (const Segment& s : segments) out.emplace_back(s.begin, s.end);
      return;
    case SplitBehavior::kRemoved:
      for (const Segment& s : segments) {
        if (!s.is_match) out.emplace_back(s.begin, s.end);
      }
      return;
    case SplitBehavior::kContiguous: {
      // Runs of segments of the same kind make one piece.
      bool previous = false;
      for (const Segment& s : segments) {
        if (s.is_match == previous && !out.empty()) {
          out.back().second = s.end;
        } else {
          out.emplace_back(s.begin, s.end);
        }
        previous = s.is_match;
      }
      return;
    }
    case SplitBehavior::kMergedWithPrevious: {
      // A delimiter that follows text joins it.
      bool previous = false;
      for (const Segment& s : segments) {
        if (s.is_match && !previous && !out.empty()) {
          out.back().second = s.end;
        } else {
          out.emplace_back(s.begin, s.end);
        }
        previous = s.is_match;
      }
      return;
    }
    case SplitBehavior::kMergedWithNext: {
      // A delimiter that precedes text joins it: read backwards, the mirror of the above.
      const std::size_t first = out.size();
      bool previous = false;
      for (std::size_t k = segments.size(); k-- > 0;) {
        const Segment& s = segments[k];
        if (s.is_match && !previous && out.size() > first) {
          out.back().first = s.begin;
        } else {
          out.emplace_back(s.begin, s.end);
        }
        previous = s.is_match;
      }
      std::reverse(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
      return;
    }
  }
}

std::vector<std::pair<std::size_t, std::size_t>> PreTokenizedText::char_offsets() const {
  // Byte offsets become character offsets by counting characters from a cursor that moves
  // to each offset in turn; the offsets of successive pieces move forward, so the whole
  // conversion is linear.
  const std::string_view s(original_);
  const std::size_t n = s.size();
  std::size_t cursor_byte = 0, cursor_char = 0;
  auto is_start = [&](std::size_t i) { return (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80; };
  // Index of the character that byte `b` (b < n) belongs to.
  auto char_of = [&](std::size_t b) {
    while (cursor_byte < b) {
      ++cursor_byte;
      if (cursor_byte < n && is_start(cursor_byte)) ++cursor_char;
    }
    while (cursor_byte > b) {
      if (is_start(cursor_byte)) --cursor_char;
      --cursor_byte;
    }
    return cursor_char;
  };
  std::vector<std::pair<std::size_t, std::size_t>> out;
  out.reserve(pieces_.size());
  for (const Piece& p : pieces_) {
    const std::size_t b = p.original.start, e = p.original.end;
    if (b >= n) {
      out.emplace_back(b, e);
      continue;
    }
    const std::size_t cb = char_of(b);
    std::size_t ce;
    if (e < n) {
      ce = char_of(e);
    } else if (e >= 1 && e - 1 < n) {
      ce = char_of(e - 1) + 1;
    } else {
      ce = cb + 2;  // as `tokenizers` does when the byte before the end is not in the text
    }
    out.emplace_back(cb, ce);
  }
  return out;
}

}  // namespace corvane::hf
