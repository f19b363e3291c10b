#include "normalizers/precompiled_charsmap.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "core/utf8.h"

namespace corvane {

namespace {

[[noreturn]] void invalid(const std::string& what) {
  throw std::invalid_argument("invalid precompiled_charsmap: " + what);
}

}  // namespace

PrecompiledCharsmap::PrecompiledCharsmap(std::string_view blob) {
  if (blob.size() < 4) invalid("shorter than its 4-byte header");
  uint32_t trie_bytes = 0;
  for (int k = 3; k >= 0; --k) trie_bytes = (trie_bytes << 8) | static_cast<unsigned char>(blob[static_cast<std::size_t>(k)]);
  if (trie_bytes % 4 != 0) invalid("trie size " + std::to_string(trie_bytes) + " is not a multiple of 4");
  if (trie_bytes == 0) invalid("the trie is empty");
  if (trie_bytes > blob.size() - 4) invalid("trie size " + std::to_string(trie_bytes) + " exceeds the data");
  units_.resize(trie_bytes / 4);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(units_.data(), blob.data() + 4, trie_bytes);
  } else {
    for (std::size_t i = 0; i < units_.size(); ++i) {
      const auto* b = reinterpret_cast<const unsigned char*>(blob.data() + 4 + 4 * i);
      units_[i] = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                  static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
    }
  }
  const std::string_view strings = blob.substr(4 + trie_bytes);
  if (!Utf8::is_valid(strings)) invalid("the replacement strings are not valid UTF-8");
  // The strings and a NUL after them, so that every string ends at a NUL. The length of the
  // string at each offset (up to the next NUL), capped.
  strings_.reserve(strings.size() + 1);
  strings_.assign(strings);
  strings_.push_back('\0');
  lengths_.resize(strings.size() + 1);
  std::size_t to_nul = 0;
  for (std::size_t i = strings.size(); i-- > 0;) {
    to_nul = strings[i] == '\0' ? 0 : to_nul + 1;
    lengths_[i] = static_cast<uint8_t>(std::min<std::size_t>(to_nul, kLongString));
  }
  lengths_[strings.size()] = 0;
  if (!check_every_unit()) check_reachable_units();
}

namespace {

constexpr uint32_t kValueBit = 0x80000000u;

}  // namespace

// Whether the replacement at offset v is safe to read: inside the strings (the end itself
// is the empty string) and at a character boundary (the strings are well-formed UTF-8 and
// a NUL is a character, so every string read from a boundary is well-formed too).
#define CORVANE_REPLACEMENT_OK(v) \
  ((v) <= strings_end() && ((v) == strings_end() || (static_cast<unsigned char>(strings_[v]) & 0xC0) != 0x80))

bool PrecompiledCharsmap::check_every_unit() const {
  const std::size_t n = units_.size();
  for (std::size_t p = 0; p < n; ++p) {
    const uint32_t unit = units_[p];
    if (p != 0 && (unit & kValueBit)) continue;  // a value, never stepped on by a byte
    const uint32_t base = static_cast<uint32_t>(p) ^ offset(unit);
    if ((static_cast<std::size_t>(base) | 0xFFu) >= n) return false;
    if (p != 0 && has_leaf(unit)) {
      const uint32_t v = value(units_[base]);
      if (!CORVANE_REPLACEMENT_OK(v)) return false;
    }
  }
  return true;
}

void PrecompiledCharsmap::check_reachable_units() const {
  const std::size_t n = units_.size();
  auto block_ok = [&](uint32_t base) { return (static_cast<std::size_t>(base) | 0xFFu) < n; };
  std::vector<bool> seen(n, false);
  std::vector<uint32_t> stack;
  const uint32_t root = offset(units_[0]);
  if (!block_ok(root)) invalid("the root's children lie outside the trie");
  stack.push_back(root);
  seen[root] = true;
  while (!stack.empty()) {
    const uint32_t base = stack.back();
    stack.pop_back();
    for (uint32_t c = 1; c < 256; ++c) {
      const uint32_t pos = base ^ c;
      const uint32_t unit = units_[pos];
      if (label(unit) != c) continue;
      const uint32_t child = pos ^ offset(unit);
      if (!block_ok(child)) invalid("a node's children lie outside the trie");
      if (has_leaf(unit)) {
        const uint32_t v = value(units_[child]);
        if (v > strings_end()) invalid("a replacement starts past the strings");
        if (!CORVANE_REPLACEMENT_OK(v)) invalid("a replacement starts inside a character");
      }
      // Darts-clone shares common suffixes, so a node may be reached again: it was checked.
      if (seen[child]) continue;
      seen[child] = true;
      stack.push_back(child);
    }
  }
}

#undef CORVANE_REPLACEMENT_OK

}  // namespace corvane
