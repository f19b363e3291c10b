#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace corvane {

// Builds the saved form of a table: a four-byte magic, a version byte, the body, and an
// eight-byte checksum of everything before it. Every number is written little-endian or as
// a LEB128 varint, so the bytes are the same on every platform.
class StateWriter {
 public:
  StateWriter(std::string_view magic, uint8_t version) {
    out_.append(magic);
    out_.push_back(static_cast<char>(version));
  }

  void u8(uint8_t v) { out_.push_back(static_cast<char>(v)); }

  void varint(uint64_t v) {
    while (v >= 0x80) {
      out_.push_back(static_cast<char>((v & 0x7F) | 0x80));
      v >>= 7;
    }
    out_.push_back(static_cast<char>(v));
  }

  // Signed values, zigzag-coded so that small magnitudes of either sign stay short.
  void svarint(int64_t v) {
    varint((static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63));
  }

  // A 32-bit value as its difference from `prev` + 1 (read back by StateReader::next_i32).
  void next_i32(int32_t v, int64_t prev) { svarint(static_cast<int64_t>(v) - prev - 1); }

  // A length-prefixed byte string.
  void bytes(std::string_view s) {
    varint(s.size());
    out_.append(s);
  }

  // Appends the checksum and hands over the finished state.
  std::string finish() {
    const uint64_t sum = checksum(out_);
    for (int i = 0; i < 8; ++i) out_.push_back(static_cast<char>((sum >> (8 * i)) & 0xFF));
    return std::move(out_);
  }

  // 64-bit FNV-1a over the bytes: catches truncation and stray changes, not tampering.
  static uint64_t checksum(std::string_view s) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : s) {
      h ^= c;
      h *= 0x100000001b3ull;
    }
    return h;
  }

 private:
  std::string out_;
};

}  // namespace corvane
