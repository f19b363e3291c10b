#pragma once

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "core/utf8.h"

namespace corvane {

// A fast reader of JSON text that calls the SAX handler of nlohmann's parser with the
// events nlohmann's own lexer would give for the same text (start_object(-1), key, string,
// number_unsigned for a non-negative integer, number_integer for a negative one,
// number_float with the number's text, ...).
//
// It reads only what it reads exactly as nlohmann does: plain strict JSON, whitespace
// around values, strings of well-formed UTF-8 with the standard escapes (surrogate pairs
// included), integers within 64 bits, finite numbers. On anything else (a syntax error, a
// byte-order mark, an integer nlohmann would turn into a float, ...) it returns false, and
// the caller, whose handler has then seen part of the events, parses the text again with
// nlohmann, which reports errors in its own words. Nesting is kept on a heap stack, so any
// depth is read without recursion.
template <class Sax>
class JsonEvents {
 public:
  // Whether the whole text was read and every event delivered (and accepted).
  static bool read(std::string_view text, Sax& sax) {
    JsonEvents r(text, sax);
    return r.run();
  }

 private:
  JsonEvents(std::string_view text, Sax& sax) : p_(text.data()), end_(text.data() + text.size()), sax_(sax) {}

  static constexpr std::size_t kUnknownSize = static_cast<std::size_t>(-1);

  void skip_space() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  bool run() {
    std::vector<bool> in_object;  // the open containers, innermost last
    skip_space();
    for (;;) {
      // A value.
      if (p_ == end_) return false;
      switch (*p_) {
        case '{':
          ++p_;
          if (!sax_.start_object(kUnknownSize)) return false;
          skip_space();
          if (p_ < end_ && *p_ == '}') {
            ++p_;
            if (!sax_.end_object()) return false;
            break;
          }
          in_object.push_back(true);
          if (!member_key()) return false;
          continue;
        case '[':
          ++p_;
          if (!sax_.start_array(kUnknownSize)) return false;
          skip_space();
          if (p_ < end_ && *p_ == ']') {
            ++p_;
            if (!sax_.end_array()) return false;
            break;
          }
          in_object.push_back(false);
          continue;
        case '"':
          ++p_;
          if (!string() || !sax_.string(buffer_)) return false;
          break;
        case 't':
          if (!literal("true") || !sax_.boolean(true)) return false;
          break;
        case 'f':
          if (!literal("false") || !sax_.boolean(false)) return false;
          break;
        case 'n':
          if (!literal("null") || !sax_.null()) return false;
          break;
        default:
          if (!number()) return false;
          break;
      }
      // After a value: close containers until one goes on with another value.
      for (;;) {
        skip_space();
        if (in_object.empty()) return p_ == end_;
        if (p_ == end_) return false;
        const char c = *p_++;
        if (c == ',') {
          skip_space();
          if (in_object.back() && !member_key()) return false;
          break;
        }
        if (c != (in_object.back() ? '}' : ']')) return false;
        if (!(in_object.back() ? sax_.end_object() : sax_.end_array())) return false;
        in_object.pop_back();
      }
      skip_space();
    }
  }

  // `"key" :` of an object member, at the opening quote; leaves p_ at the value.
  bool member_key() {
    if (p_ == end_ || *p_ != '"') return false;
    ++p_;
    if (!string() || !sax_.key(buffer_)) return false;
    skip_space();
    if (p_ == end_ || *p_ != ':') return false;
    ++p_;
    skip_space();
    return true;
  }

  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) return false;
    p_ += word.size();
    return true;
  }

  // The rest of a string after its opening quote, into buffer_.
  bool string() {
    buffer_.clear();
    for (;;) {
      const char* run = p_;
      while (p_ < end_ && static_cast<unsigned char>(*p_) >= 0x20 && *p_ != '"' && *p_ != '\\' &&
             static_cast<unsigned char>(*p_) < 0x80) {
        ++p_;
      }
      buffer_.append(run, static_cast<std::size_t>(p_ - run));
      if (p_ == end_) return false;
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c < 0x20) return false;
      if (c >= 0x80) {
        const std::size_t len =
            Utf8::char_length(reinterpret_cast<const unsigned char*>(p_), static_cast<std::size_t>(end_ - p_));
        if (len == 0) return false;
        buffer_.append(p_, len);
        p_ += len;
        continue;
      }
      // An escape.
      if (end_ - p_ < 2) return false;
      const char e = p_[1];
      p_ += 2;
      switch (e) {
        case '"': buffer_.push_back('"'); break;
        case '\\': buffer_.push_back('\\'); break;
        case '/': buffer_.push_back('/'); break;
        case 'b': buffer_.push_back('\b'); break;
        case 'f': buffer_.push_back('\f'); break;
        case 'n': buffer_.push_back('\n'); break;
        case 'r': buffer_.push_back('\r'); break;
        case 't': buffer_.push_back('\t'); break;
        case 'u': {
          uint32_t cp = 0;
          if (!hex4(cp)) return false;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t low = 0;
            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
            p_ += 2;
            if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          append_utf8(cp);
          break;
        }
        default: return false;
      }
    }
  }

  bool hex4(uint32_t& out) {
    if (end_ - p_ < 4) return false;
    for (int k = 0; k < 4; ++k) {
      const char h = *p_++;
      uint32_t d;
      if (h >= '0' && h <= '9') {
        d = static_cast<uint32_t>(h - '0');
      } else if (h >= 'a' && h <= 'f') {
        d = static_cast<uint32_t>(h - 'a' + 10);
      } else if (h >= 'A' && h <= 'F') {
        d = static_cast<uint32_t>(h - 'A' + 10);
      } else {
        return false;
      }
      out = out * 16 + d;
    }
    return true;
  }

  void append_utf8(uint32_t cp) {
    Utf8::append(buffer_, static_cast<char32_t>(cp));
  }

  static bool digit(char c) { return c >= '0' && c <= '9'; }

  // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
  bool number() {
    const char* start = p_;
    const bool negative = p_ < end_ && *p_ == '-';
    if (negative) ++p_;
    if (p_ == end_ || !digit(*p_)) return false;
    if (*p_ == '0') {
      ++p_;
    } else {
      while (p_ < end_ && digit(*p_)) ++p_;
    }
    const char* int_end = p_;
    bool is_float = false;
    if (p_ < end_ && *p_ == '.') {
      ++p_;
      if (p_ == end_ || !digit(*p_)) return false;
      while (p_ < end_ && digit(*p_)) ++p_;
      is_float = true;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ == end_ || !digit(*p_)) return false;
      while (p_ < end_ && digit(*p_)) ++p_;
      is_float = true;
    }
    if (!is_float) {
      // Within 64 bits, as nlohmann reads it; beyond, it would read a float: left to it.
      uint64_t v = 0;
      for (const char* d = start + (negative ? 1 : 0); d < int_end; ++d) {
        const auto digit_value = static_cast<uint64_t>(*d - '0');
        if (v > (std::numeric_limits<uint64_t>::max() - digit_value) / 10) return false;
        v = v * 10 + digit_value;
      }
      if (!negative) return sax_.number_unsigned(v);
      if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1) return false;
      const int64_t signed_value = v == 0 ? 0 : static_cast<int64_t>(~(v - 1));
      return sax_.number_integer(signed_value);
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(start, p_, value);
    if (ec != std::errc() || end != p_ || !std::isfinite(value)) return false;
    number_text_.assign(start, p_);
    return sax_.number_float(value, number_text_);
  }

  const char* p_;
  const char* end_;
  Sax& sax_;
  std::string buffer_;
  std::string number_text_;
};

}  // namespace corvane
