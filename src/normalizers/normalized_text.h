#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

// A text being normalized, with its alignment to the original text.
//
// For each byte of the normalized text, the alignment holds the range of original bytes it
// came from; every byte of one normalized character holds the same range (but after
// SentencePieceNormalizer, whose bytes each hold their own, as sentencepiece maps pieces
// back). A token's range is its first byte's start to its last byte's end either way. The operations
// keep the alignment exactly as HuggingFace's NormalizedString does, so that offsets
// computed from it are the ones `tokenizers` reports. Every operation is linear in the
// length of the text.
class NormalizedText {
 public:
  // An original byte range [start, end).
  struct Span {
    uint32_t start = 0;
    uint32_t end = 0;
    bool operator==(const Span&) const = default;
  };

  // One character of a new normalized text and how it relates to the characters it
  // replaces, read in order: 0 replaces the next character, a positive value inserts a
  // character, -N replaces the next character and removes the N that follow it.
  struct Change {
    char32_t ch;
    int32_t change;
  };

  // Throws std::invalid_argument "text is not valid UTF-8" when `original` is not, and
  // std::length_error "text is too long to normalize (4 GiB or more)" past 32-bit offsets.
  explicit NormalizedText(std::string_view original);

  const std::string& original() const { return original_; }
  const std::string& normalized() const { return normalized_; }
  const std::vector<Span>& alignments() const { return alignments_; }
  bool empty() const { return normalized_.empty(); }
  // Whether the alignment is still the one the text was made with (each byte aligned to
  // its own character): nothing has replaced it yet.
  bool aligned_to_itself() const { return aligned_to_itself_; }

  // The code points of the normalized text.
  std::u32string chars() const;

  // Replaces the normalized bytes [begin, end) (character boundaries) by `dest`, skipping
  // the first `initial_offset` characters of the range (removed) first.
  void transform_range(std::size_t begin, std::size_t end, const std::vector<Change>& dest,
                       std::size_t initial_offset);
  // What transform_range does, for the range [begin, end) read as a whole text with no
  // initial offset, but appended to `out` and `out_align` instead of spliced in: lets a
  // normalizer rebuild the text piece by piece in one pass.
  void append_changed(std::size_t begin, std::size_t end, const std::vector<Change>& dest, std::string& out,
                      std::vector<Span>& out_align) const;
  // Appends the normalized bytes [begin, end) and their spans unchanged.
  void append_unchanged(std::size_t begin, std::size_t end, std::string& out, std::vector<Span>& out_align) const {
    out.append(normalized_, begin, end - begin);
    out_align.insert(out_align.end(), alignments_.begin() + static_cast<std::ptrdiff_t>(begin),
                     alignments_.begin() + static_cast<std::ptrdiff_t>(end));
  }
  // Replaces the whole normalized text and its spans (the spans of a character all equal).
  void assign(std::string&& normalized, std::vector<Span>&& alignments);
  // Moves the normalized text and its spans out (this text is left empty of both).
  void release(std::string& normalized, std::vector<Span>& alignments) {
    normalized = std::move(normalized_);
    alignments = std::move(alignments_);
    normalized_.clear();
    alignments_.clear();
    aligned_to_itself_ = false;
  }

  // The same over the whole normalized text.
  void transform(const std::vector<Change>& dest, std::size_t initial_offset) {
    transform_range(0, normalized_.size(), dest, initial_offset);
  }

  // Keeps the characters for which keep(c) is true.
  template <class Keep>
  void filter(Keep&& keep);
  // Replaces each character c by map(c).
  template <class Map>
  void map(Map&& map);

  // Replaces each byte b of an all-ASCII text by table[b] (ASCII too): one character for
  // another, so the alignment stays as it is.
  void map_ascii_in_place(const unsigned char (&table)[128]) {
    for (char& c : normalized_) c = static_cast<char>(table[static_cast<unsigned char>(c) & 0x7F]);
  }

  // Puts `s` in front of the text (nothing when the text is empty); the new characters
  // align with the first character.
  void prepend(std::string_view s);
  // Lowercases every character (full mappings, without context).
  void lowercase();
  // Removes leading and/or trailing White_Space characters.
  void strip(bool left, bool right);
  // Replaces the given byte ranges of the normalized text (sorted, disjoint, on character
  // boundaries; empty ranges insert) by `content`. The new characters align with the last
  // byte before the range's end (nothing, for an empty range at the start).
  void replace(const std::vector<std::pair<std::size_t, std::size_t>>& ranges, std::string_view content);

  // The original byte range of the normalized bytes [begin, end); {0, 0} when empty.
  Span original_span(std::size_t begin, std::size_t end) const;

  // For each normalized character, its original range in characters (as `tokenizers`
  // converts byte offsets to character offsets: a range that starts past the last
  // original character is left in bytes).
  std::vector<std::pair<std::size_t, std::size_t>> char_offsets() const;

  // Appends the UTF-8 form of `cp` to `out`.
  static void append_utf8(std::string& out, char32_t cp);

 private:
  std::string original_;
  std::string normalized_;
  std::vector<Span> alignments_;
  bool aligned_to_itself_ = true;
};

// Decodes the well-formed UTF-8 character at `s[i]` and advances `i`.
inline char32_t next_char(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  if (b0 < 0xE0) {
    const char32_t c = ((b0 & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
    i += 2;
    return c;
  }
  if (b0 < 0xF0) {
    const char32_t c = ((b0 & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
                       (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
    i += 3;
    return c;
  }
  const char32_t c = ((b0 & 0x07u) << 18) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 12) |
                     ((static_cast<unsigned char>(s[i + 2]) & 0x3Fu) << 6) |
                     (static_cast<unsigned char>(s[i + 3]) & 0x3Fu);
  i += 4;
  return c;
}

inline std::size_t utf8_length(char32_t cp) { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }

template <class Keep>
void NormalizedText::filter(Keep&& keep) {
  // A kept character keeps its own span; removed characters leave nothing behind.
  std::string out;
  std::vector<Span> align;
  out.reserve(normalized_.size());
  align.reserve(alignments_.size());
  const std::string_view s(normalized_);
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t at = i;
    const char32_t c = next_char(s, i);
    if (keep(c)) {
      out.append(s.data() + at, i - at);
      align.insert(align.end(), i - at, alignments_[at]);
    }
  }
  assign(std::move(out), std::move(align));
}

template <class Map>
void NormalizedText::map(Map&& map) {
  std::string out;
  std::vector<Span> align;
  out.reserve(normalized_.size());
  align.reserve(alignments_.size());
  const std::string_view s(normalized_);
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t at = i;
    const char32_t c = map(next_char(s, i));
    append_utf8(out, c);
    align.insert(align.end(), utf8_length(c), alignments_[at]);
  }
  assign(std::move(out), std::move(align));
}

}  // namespace corvane
