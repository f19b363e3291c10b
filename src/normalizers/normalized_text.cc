#include "normalizers/normalized_text.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "core/pinned_unicode.h"
#include "core/unicode.h"
#include "core/utf8.h"

namespace corvane {

NormalizedText::NormalizedText(std::string_view original) : original_(original), normalized_(original) {
  if (original.size() >= std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("text is too long to normalize (4 GiB or more)");
  }
  // Each byte is aligned to its character's span: ASCII bytes (most of them) to themselves,
  // written directly, and the bytes of a longer character each to the whole character.
  alignments_.resize(original.size());
  Span* out = alignments_.data();
  const auto* s = reinterpret_cast<const unsigned char*>(original.data());
  const std::size_t n = original.size();
  for (std::size_t i = 0; i < n;) {
    if (s[i] < 0x80) {
      out[i] = Span{static_cast<uint32_t>(i), static_cast<uint32_t>(i + 1)};
      ++i;
      continue;
    }
    const std::size_t len = Utf8::char_length(s + i, n - i);
    if (len == 0) throw std::invalid_argument("text is not valid UTF-8");
    const Span span{static_cast<uint32_t>(i), static_cast<uint32_t>(i + len)};
    for (std::size_t k = 0; k < len; ++k) out[i + k] = span;
    i += len;
  }
}

std::u32string NormalizedText::chars() const {
  std::u32string out;
  out.reserve(normalized_.size());
  const std::string_view s(normalized_);
  for (std::size_t i = 0; i < s.size();) out.push_back(next_char(s, i));
  return out;
}

void NormalizedText::append_utf8(std::string& out, char32_t cp) {
  Utf8::append(out, cp);
}

void NormalizedText::assign(std::string&& normalized, std::vector<Span>&& alignments) {
  normalized_ = std::move(normalized);
  alignments_ = std::move(alignments);
  aligned_to_itself_ = false;
}

void NormalizedText::append_changed(std::size_t begin, std::size_t end, const std::vector<Change>& dest,
                                    std::string& out, std::vector<Span>& out_align) const {
  const std::string_view s(normalized_);
  // `pos` walks the characters being replaced; the next one starts there.
  std::size_t pos = begin;
  auto consume = [&]() {
    if (pos < end) next_char(s, pos);
  };
  for (const Change& d : dest) {
    Span align;
    if (d.change > 0) {
      if (pos >= 1) align = alignments_.at(pos - 1);
    } else {
      if (pos >= alignments_.size()) throw std::logic_error("normalizer replaced past the end of the text");
      align = alignments_[pos];
      consume();
      for (int32_t k = 0; k < -d.change; ++k) consume();
    }
    const std::size_t before = out.size();
    append_utf8(out, d.ch);
    out_align.insert(out_align.end(), out.size() - before, align);
  }
}

void NormalizedText::transform_range(std::size_t begin, std::size_t end, const std::vector<Change>& dest,
                                     std::size_t initial_offset) {
  if (begin > end || end > normalized_.size()) throw std::out_of_range("normalized range out of bounds");
  const std::string_view s(normalized_);
  std::size_t from = begin;
  for (std::size_t k = 0; k < initial_offset && from < end; ++k) next_char(s, from);
  std::string out;
  std::vector<Span> align;
  out.reserve(normalized_.size() + dest.size());
  align.reserve(normalized_.size() + dest.size());
  append_unchanged(0, begin, out, align);
  append_changed(from, end, dest, out, align);
  append_unchanged(end, normalized_.size(), out, align);
  assign(std::move(out), std::move(align));
}

void NormalizedText::prepend(std::string_view s) {
  if (normalized_.empty()) return;
  std::size_t first_len = 0;
  next_char(normalized_, first_len);
  // The prepended characters and the first one all take the first one's span; with nothing
  // to prepend, the first character is re-inserted at the start and so spans nothing.
  const Span span = s.empty() ? Span{} : alignments_[0];
  std::string out;
  out.reserve(s.size() + normalized_.size());
  out.append(s).append(normalized_);
  std::vector<Span> align;
  align.reserve(out.size());
  align.insert(align.end(), s.size() + first_len, span);
  align.insert(align.end(), alignments_.begin() + static_cast<std::ptrdiff_t>(first_len), alignments_.end());
  assign(std::move(out), std::move(align));
}

void NormalizedText::lowercase() {
  std::string out;
  std::vector<Span> align;
  out.reserve(normalized_.size());
  align.reserve(alignments_.size());
  const std::string_view s(normalized_);
  std::u32string mapped;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t at = i;
    const char32_t c = next_char(s, i);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
      align.push_back(alignments_[at]);
      continue;
    }
    mapped.clear();
    pinned_unicode::lowercase(c, mapped);
    const std::size_t before = out.size();
    for (char32_t m : mapped) append_utf8(out, m);
    align.insert(align.end(), out.size() - before, alignments_[at]);
  }
  assign(std::move(out), std::move(align));
}

void NormalizedText::strip(bool left, bool right) {
  const std::string_view s(normalized_);
  std::size_t b = 0, e = s.size();
  if (left) {
    while (b < e) {
      std::size_t i = b;
      if (!unicode::is_white_space(next_char(s, i))) break;
      b = i;
    }
  }
  if (right) {
    while (e > b) {
      std::size_t start = e - 1;
      while (start > b && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
      std::size_t i = start;
      if (!unicode::is_white_space(next_char(s, i))) break;
      e = start;
    }
  }
  if (b == 0 && e == s.size()) return;
  std::string out(s.substr(b, e - b));
  std::vector<Span> align(alignments_.begin() + static_cast<std::ptrdiff_t>(b),
                          alignments_.begin() + static_cast<std::ptrdiff_t>(e));
  assign(std::move(out), std::move(align));
}

void NormalizedText::replace(const std::vector<std::pair<std::size_t, std::size_t>>& ranges, std::string_view content) {
  if (ranges.empty()) return;
  std::size_t size = normalized_.size();
  std::size_t last = 0;
  for (const auto& [b, e] : ranges) {
    if (b < last || e < b || e > normalized_.size()) throw std::logic_error("replace ranges are not sorted and disjoint");
    size = size - (e - b) + content.size();
    last = e;
  }
  // Both buffers sized once, then filled in place (a range is often one byte).
  std::string out(size, '\0');
  std::vector<Span> align(size);
  char* o = out.data();
  Span* a = align.data();
  last = 0;
  for (const auto& [b, e] : ranges) {
    std::memcpy(o, normalized_.data() + last, b - last);
    std::copy(alignments_.begin() + static_cast<std::ptrdiff_t>(last), alignments_.begin() + static_cast<std::ptrdiff_t>(b), a);
    o += b - last;
    a += b - last;
    const Span span = e == 0 ? Span{} : alignments_[e - 1];
    std::memcpy(o, content.data(), content.size());
    std::fill(a, a + content.size(), span);
    o += content.size();
    a += content.size();
    last = e;
  }
  std::memcpy(o, normalized_.data() + last, normalized_.size() - last);
  std::copy(alignments_.begin() + static_cast<std::ptrdiff_t>(last), alignments_.end(), a);
  assign(std::move(out), std::move(align));
}

NormalizedText::Span NormalizedText::original_span(std::size_t begin, std::size_t end) const {
  if (begin >= end || end > alignments_.size()) return Span{};
  return Span{alignments_[begin].start, alignments_[end - 1].end};
}

std::vector<std::pair<std::size_t, std::size_t>> NormalizedText::char_offsets() const {
  // Character index of each original byte.
  std::vector<uint32_t> char_of(original_.size());
  {
    const std::string_view o(original_);
    uint32_t n = 0;
    for (std::size_t i = 0; i < o.size(); ++n) {
      const std::size_t at = i;
      next_char(o, i);
      for (std::size_t k = at; k < i; ++k) char_of[k] = n;
    }
  }
  std::vector<std::pair<std::size_t, std::size_t>> out;
  const std::string_view s(normalized_);
  for (std::size_t i = 0; i < s.size();) {
    const Span span = alignments_[i];
    next_char(s, i);
    if (span.start >= char_of.size()) {
      out.emplace_back(span.start, span.end);
    } else if (span.end < char_of.size()) {
      out.emplace_back(char_of[span.start], char_of[span.end]);
    } else {
      out.emplace_back(char_of[span.start], char_of[span.end - 1] + 1);
    }
  }
  return out;
}

}  // namespace corvane
