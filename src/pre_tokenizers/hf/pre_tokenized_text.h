#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "normalizers/normalized_text.h"

namespace corvane::hf {

// What a split does with the delimiters it finds, as tokenizer.json names them. Splitting
// "the-final--countdown" on '-':
//   removed              the | final | countdown
//   isolated             the | - | final | - | - | countdown
//   merged_with_previous the- | final- | - | countdown
//   merged_with_next     the | -final | - | -countdown
//   contiguous           the | - | final | -- | countdown
enum class SplitBehavior : uint8_t { kRemoved, kIsolated, kMergedWithPrevious, kMergedWithNext, kContiguous };

// One stretch of a piece found by a pattern: bytes [begin, end) of the piece, a delimiter
// (is_match) or the text between delimiters. The segments of a piece cover it in order; a
// pattern that matches the empty string yields empty delimiter segments.
struct Segment {
  std::size_t begin;
  std::size_t end;
  bool is_match;
};

// A text cut into pieces on its way to the model, as HuggingFace's PreTokenizedString: each
// piece is a stretch of normalized text that remembers, byte by byte, the original bytes it
// came from, and the original range it covers as a whole. Pre-tokenizers cut pieces into
// smaller ones and rewrite them (ByteLevel, Metaspace); a piece that already holds a token
// (an added token found before normalization) is left alone by all of them.
//
// Storage is flat: the normalized bytes of all pieces sit in one buffer, with one original
// span per byte, and a piece is a range of that buffer. Cutting only makes new ranges;
// rewriting builds a new buffer. Both are linear in the length of the text.
class PreTokenizedText {
 public:
  using Span = NormalizedText::Span;

  struct Piece {
    std::size_t begin = 0;  // normalized bytes [begin, end) of the buffer
    std::size_t end = 0;
    Span original;          // the original bytes the piece covers
    int64_t token = -1;     // the id of the token it already is, or -1
  };

  // No pieces yet; `original` is the text that offsets refer to.
  explicit PreTokenizedText(std::string original);

  // One piece: the whole normalized text.
  explicit PreTokenizedText(const NormalizedText& text);

  // One piece: `original` itself, unnormalized. Throws std::invalid_argument "text is not
  // valid UTF-8" and std::length_error "text is too long to pre-tokenize (4 GiB or more)".
  static PreTokenizedText from_original(std::string_view original);

  // Appends a piece: `normalized` with one span per byte, each relative to original byte
  // `shift` (a NormalizedText made from a slice of the original that starts there), and the
  // original range it covers as a whole. An empty piece is kept (as `tokenizers` keeps the
  // whole text as its first piece whatever its length) until the next cut or rewrite.
  void add_piece(std::string_view normalized, const Span* spans, uint32_t shift, Span original,
                 int64_t token = -1);
  void add_piece(const NormalizedText& part, uint32_t shift, int64_t token = -1) {
    add_piece(part.normalized(), part.alignments().data(), shift,
              Span{shift, shift + static_cast<uint32_t>(part.original().size())}, token);
  }

  // Appends the whole of `part` as one piece, as add_piece does; its buffers are taken over
  // when this text has none yet and `shift` is 0 (the common case: one piece, no added
  // tokens); `part` may be left empty.
  void add_whole(NormalizedText&& part, uint32_t shift, Span original, int64_t token = -1);

  const std::string& original() const { return original_; }
  const std::vector<Piece>& pieces() const { return pieces_; }
  std::size_t size() const { return pieces_.size(); }

  std::string_view normalized(const Piece& p) const {
    return std::string_view(buffer_).substr(p.begin, p.end - p.begin);
  }
  // Original span of each normalized byte of `p` (offsets into original()).
  const Span* spans(const Piece& p) const { return spans_.data() + p.begin; }

  // Cuts every piece that holds no token: find(piece_text, segments) fills `segments` (it
  // arrives empty) with the segments of the piece, and `behavior` makes pieces of them.
  // Empty pieces are dropped.
  template <class Find>
  void split(Find&& find, SplitBehavior behavior);

  // Rewrites every piece that holds no token: rewrite(const Piece&, std::string_view text,
  // const Span* spans, Writer&) emits the piece's new text through the writer, each new
  // character with the original span it stands for. Pieces that come out empty are dropped.
  class Writer {
   public:
    void emit(std::string_view bytes, Span span) {
      buffer_.append(bytes);
      spans_.insert(spans_.end(), bytes.size(), span);
    }
    void emit(const char* bytes, std::size_t n, const Span* spans) {
      buffer_.append(bytes, n);
      spans_.insert(spans_.end(), spans, spans + n);
    }
    // Emits each byte b of bytes[0, n) as the length[b] (1 or 2) bytes of text[b], each
    // with the span of its byte: one growth of the buffers for the whole piece.
    void emit_each_byte(const char* bytes, std::size_t n, const Span* spans, const char (*text)[2],
                        const uint8_t* length) {
      const std::size_t at = buffer_.size();
      buffer_.resize(at + 2 * n);
      spans_.resize(at + 2 * n);
      char* out = buffer_.data() + at;
      Span* out_spans = spans_.data() + at;
      for (std::size_t i = 0; i < n; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        out[0] = text[b][0];
        out[1] = text[b][1];
        out_spans[0] = spans[i];
        out_spans[1] = spans[i];
        out += length[b];
        out_spans += length[b];
      }
      buffer_.resize(static_cast<std::size_t>(out - buffer_.data()));
      spans_.resize(buffer_.size());
    }

   private:
    friend class PreTokenizedText;
    Writer(std::string& b, std::vector<Span>& s) : buffer_(b), spans_(s) {}
    std::string& buffer_;
    std::vector<Span>& spans_;
  };
  template <class Rewrite>
  void rewrite(Rewrite&& rewrite);

  // The original range of each piece in characters, as `tokenizers` reports offsets: a
  // range that starts past the last original character stays in bytes.
  std::vector<std::pair<std::size_t, std::size_t>> char_offsets() const;

 private:
  // The pieces `behavior` makes of `segments` (each a range of one piece's text), appended
  // to `out` as piece-relative ranges, empty ones included.
  static void apply_behavior(const std::vector<Segment>& segments, SplitBehavior behavior,
                             std::vector<std::pair<std::size_t, std::size_t>>& out);
  // The piece made of bytes [begin, end) of `parent`.
  Piece slice(const Piece& parent, std::size_t begin, std::size_t end) const;

  std::string original_;
  std::string buffer_;
  std::vector<Span> spans_;
  std::vector<Piece> pieces_;
};

template <class Find>
void PreTokenizedText::split(Find&& find, SplitBehavior behavior) {
  std::vector<Piece> out;
  out.reserve(pieces_.size());
  std::vector<Segment> segments;
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  for (const Piece& p : pieces_) {
    if (p.token >= 0) {
      out.push_back(p);
      continue;
    }
    segments.clear();
    ranges.clear();
    find(normalized(p), segments);
    apply_behavior(segments, behavior, ranges);
    for (const auto& [b, e] : ranges) {
      if (b < e) out.push_back(slice(p, b, e));
    }
  }
  pieces_ = std::move(out);
}

template <class Rewrite>
void PreTokenizedText::rewrite(Rewrite&& rewrite) {
  std::string new_buffer;
  std::vector<Span> new_spans;
  new_buffer.reserve(buffer_.size() + buffer_.size() / 4 + 16);
  new_spans.reserve(new_buffer.capacity());
  std::vector<Piece> out;
  out.reserve(pieces_.size());
  Writer writer(new_buffer, new_spans);
  for (const Piece& p : pieces_) {
    Piece q = p;
    q.begin = new_buffer.size();
    if (p.token >= 0) {
      writer.emit(buffer_.data() + p.begin, p.end - p.begin, spans_.data() + p.begin);
    } else {
      rewrite(static_cast<const Piece&>(p), normalized(p), spans(p), writer);
    }
    q.end = new_buffer.size();
    if (q.end > q.begin || p.token >= 0) out.push_back(q);
  }
  buffer_ = std::move(new_buffer);
  spans_ = std::move(new_spans);
  pieces_ = std::move(out);
}

}  // namespace corvane::hf
