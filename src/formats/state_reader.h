#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>

#include "formats/state_writer.h"

namespace corvane {

// Reads a state written by StateWriter. Every read is bounds-checked; anything malformed
// (wrong magic or version, bad checksum, truncation, an overlong varint, a value out of
// range) throws std::invalid_argument "invalid <owner> <what>: <reason>" (<what> being
// "pickle state" unless the owner names its saved form otherwise).
class StateReader {
 public:
  // Checks the header and the checksum; afterwards the reads walk the body.
  StateReader(std::string_view state, std::string_view magic, uint8_t version, const char* owner,
              const char* what = "pickle state")
      : owner_(owner), what_(what) {
    constexpr std::size_t kTrailer = 8;
    if (state.size() < magic.size() + 1 + kTrailer) fail("truncated");
    if (state.substr(0, magic.size()) != magic) fail("wrong magic");
    if (static_cast<uint8_t>(state[magic.size()]) != version) fail("unknown version");
    const std::string_view covered = state.substr(0, state.size() - kTrailer);
    uint64_t stored = 0;
    for (std::size_t i = 0; i < kTrailer; ++i) {
      stored |= static_cast<uint64_t>(static_cast<unsigned char>(state[covered.size() + i])) << (8 * i);
    }
    if (stored != StateWriter::checksum(covered)) fail("checksum mismatch");
    p_ = covered.data() + magic.size() + 1;
    end_ = covered.data() + covered.size();
  }

  std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }

  uint8_t u8() {
    if (p_ == end_) fail("truncated");
    return static_cast<uint8_t>(*p_++);
  }

  uint64_t varint() {
    uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      const uint8_t b = u8();
      if (shift == 63 && b > 1) fail("number too large");
      v |= static_cast<uint64_t>(b & 0x7F) << shift;
      if (!(b & 0x80)) return v;
    }
    fail("number too large");
  }

  int64_t svarint() {
    const uint64_t z = varint();
    return static_cast<int64_t>(z >> 1) ^ -static_cast<int64_t>(z & 1);
  }

  // A 32-bit signed value written as its difference from `prev` + 1 (a run of consecutive
  // values costs one byte each).
  int32_t next_i32(int64_t prev) {
    const int64_t d = svarint();
    constexpr int64_t kLimit = int64_t{1} << 33;  // larger steps leave the 32-bit range
    if (d < -kLimit || d > kLimit) fail("value out of range");
    const int64_t v = prev + 1 + d;
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
      fail("value out of range");
    }
    return static_cast<int32_t>(v);
  }

  // A count of items that take at least `min_item_bytes` bytes each: more than the rest of
  // the state can hold is refused before anything is sized by it.
  std::size_t count(std::size_t min_item_bytes) {
    const uint64_t n = varint();
    if (n > remaining() / min_item_bytes) fail("truncated");
    return static_cast<std::size_t>(n);
  }

  // A length-prefixed byte string, viewed in place.
  std::string_view bytes() {
    const uint64_t n = varint();
    if (n > remaining()) fail("truncated");
    const std::string_view s(p_, static_cast<std::size_t>(n));
    p_ += n;
    return s;
  }

  void expect_end() {
    if (p_ != end_) fail("trailing bytes");
  }

  [[noreturn]] void fail(const char* reason) const {
    throw std::invalid_argument(std::string("invalid ") + owner_ + " " + what_ + ": " + reason);
  }

 private:
  const char* owner_;
  const char* what_;
  const char* p_ = nullptr;
  const char* end_ = nullptr;
};

}  // namespace corvane
