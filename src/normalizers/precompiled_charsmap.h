#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// SentencePiece's compiled normalization rules (a model's "precompiled_charsmap"): a
// little-endian u32 byte size of a double-array trie (Darts-clone units), the trie, then
// the replacement strings, each ended by a NUL. A key of the trie is a byte sequence of the
// input; its value is the offset of its replacement in the strings.
//
// The whole trie is checked once when loaded: every step of any input stays inside the
// array, and every replacement is well-formed UTF-8 inside the strings. The check looks at
// every unit of the array once (a linear pass that a well-built array passes); an array
// that fails it is checked again, more slowly, through only the nodes reachable from the
// root (each once: the builder shares common suffixes, and a malformed array may loop). A search is then a few array
// reads per input byte with nothing left to check. A NUL byte ends every search (no key
// holds one).
class PrecompiledCharsmap {
 public:
  // Throws std::invalid_argument "invalid precompiled_charsmap: <what is wrong>".
  explicit PrecompiledCharsmap(std::string_view blob);

  // Calls fn(length, replacement) for each key that is a prefix of s[0, n), by increasing
  // length.
  template <class Fn>
  void for_each_match(const unsigned char* s, std::size_t n, Fn&& fn) const {
    const uint32_t* a = units_.data();
    uint32_t pos = offset(a[0]);
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned char c = s[i];
      if (c == 0) return;
      pos ^= c;
      const uint32_t unit = a[pos];
      if (label(unit) != c) return;
      pos ^= offset(unit);
      if (has_leaf(unit)) fn(i + 1, replacement(value(a[pos])));
    }
  }

  // Whether some key is longer than the byte sequence s[0, n) and starts with it.
  bool has_longer_keys(const unsigned char* s, std::size_t n) const {
    const uint32_t* a = units_.data();
    uint32_t pos = offset(a[0]);
    for (std::size_t i = 0; i < n; ++i) {
      if (s[i] == 0) return false;
      pos ^= s[i];
      if (label(a[pos]) != s[i]) return false;
      pos ^= offset(a[pos]);
    }
    for (uint32_t c = 1; c < 256; ++c) {
      if (label(a[pos ^ c]) == c) return true;
    }
    return false;
  }

 private:
  static bool has_leaf(uint32_t u) { return (u >> 8) & 1; }
  static uint32_t value(uint32_t u) { return u & 0x7FFFFFFFu; }
  static uint32_t label(uint32_t u) { return u & (0x80000000u | 0xFFu); }
  static uint32_t offset(uint32_t u) { return (u >> 10) << ((u & (1u << 9)) >> 6); }

  std::string_view replacement(uint32_t at) const {
    std::size_t len = lengths_[at];
    if (len == kLongString) len = strings_.find('\0', at) - at;  // npos cannot be: the end holds a NUL
    return std::string_view(strings_.data() + at, len);
  }
  // The size of the replacement strings (strings_ without its last NUL).
  std::size_t strings_end() const { return strings_.size() - 1; }
  bool check_every_unit() const;
  void check_reachable_units() const;

  // A length in lengths_ that stands for "this many or more: look for the NUL".
  static constexpr uint8_t kLongString = 255;

  std::vector<uint32_t> units_;
  std::string strings_;           // the replacement strings, and one NUL after them
  std::vector<uint8_t> lengths_;  // for each offset into strings_, the length of its string
};

}  // namespace corvane
