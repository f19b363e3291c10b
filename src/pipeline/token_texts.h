#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The texts of an encoding's tokens: one byte buffer and, per token, where its text lies
// in it. Tokens are pushed, moved between records, cut and padded as plain spans, never as
// one string object each; the buffer only grows (a token put in front appends its text,
// and its span goes in front).
class TokenTexts {
 public:
  TokenTexts() = default;
  explicit TokenTexts(const std::vector<std::string>& texts) {
    reserve(texts.size());
    for (const std::string& t : texts) push_back(t);
  }

  std::size_t size() const { return spans_.size(); }
  bool empty() const { return spans_.empty(); }
  std::string_view operator[](std::size_t i) const {
    const Span s = spans_[i];
    return std::string_view(bytes_.data() + s.offset, s.length);
  }

  void reserve(std::size_t tokens, std::size_t bytes = 0) {
    spans_.reserve(tokens);
    if (bytes > 0) bytes_.reserve(bytes);
  }
  // The reserved room, in tokens.
  std::size_t capacity() const { return spans_.capacity(); }

  void push_back(std::string_view text) { spans_.push_back(add_text(text)); }

  // `count` tokens of text `text`, at the front or at the back.
  void insert_repeated(bool front, std::size_t count, std::string_view text) {
    const Span s = add_text(text);
    spans_.insert(front ? spans_.begin() : spans_.end(), count, s);
  }

  // Appends the tokens of `other`, in order.
  void append(const TokenTexts& other) {
    if (empty()) {
      *this = other;
      return;
    }
    const auto shift = static_cast<uint64_t>(bytes_.size());
    bytes_ += other.bytes_;
    spans_.reserve(spans_.size() + other.spans_.size());
    for (Span s : other.spans_) spans_.push_back(Span{s.offset + shift, s.length});
  }
  void append(TokenTexts&& other) {
    if (empty()) {
      *this = std::move(other);
      return;
    }
    append(static_cast<const TokenTexts&>(other));
  }

  // Tokens [begin, end), with only their own texts.
  TokenTexts slice(std::size_t begin, std::size_t end) const {
    TokenTexts out;
    out.reserve(end - begin);
    for (std::size_t i = begin; i < end; ++i) out.push_back((*this)[i]);
    return out;
  }

  // `front` before the first token (when given) and `back` after the last.
  void put_around(const std::string_view* front, std::string_view back) {
    if (front != nullptr) insert_repeated(true, 1, *front);
    push_back(back);
  }

  std::vector<std::string> strings() const {
    std::vector<std::string> out;
    out.reserve(size());
    for (std::size_t i = 0; i < size(); ++i) out.emplace_back((*this)[i]);
    return out;
  }

  bool operator==(const TokenTexts& other) const {
    if (size() != other.size()) return false;
    for (std::size_t i = 0; i < size(); ++i) {
      if ((*this)[i] != other[i]) return false;
    }
    return true;
  }

 private:
  struct Span {
    uint64_t offset;
    uint64_t length;
  };

  Span add_text(std::string_view text) {
    const Span s{static_cast<uint64_t>(bytes_.size()), static_cast<uint64_t>(text.size())};
    bytes_.append(text);
    return s;
  }

  std::string bytes_;
  std::vector<Span> spans_;
};

}  // namespace corvane
