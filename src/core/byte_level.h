#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// The byte <-> character table of byte-level BPE files (GPT-2 and its descendants).
//
// Such files cannot hold arbitrary bytes in JSON strings, so each byte of a token is
// written as one printable stand-in character: the 188 printable bytes "!".."~",
// "¡".."¬" and "®".."ÿ" stand for themselves (as Latin-1 code points), and the other 68
// bytes (control bytes, the space, 0x7F..0xA0 and 0xAD) stand as the code points U+0100,
// U+0101, ... in increasing byte order. The space byte, for instance, is written "Ġ"
// (U+0120).
class ByteLevel {
 public:
  // Code point of the stand-in character of byte `b`.
  static char32_t char_of(unsigned char b);

  // The byte that code point `cp` stands for, or -1 when `cp` stands for no byte.
  static int byte_of(char32_t cp);

  // Whether every character of the UTF-8 text `text` is one of the 256 stand-ins.
  static bool all_stand_ins(std::string_view text);

  // Appends to `out` the raw bytes that the UTF-8 text `text` stands for. A character that
  // stands for no byte is kept as its own UTF-8 bytes, and so is any byte that does not
  // begin a well-formed two-byte sequence.
  static void to_bytes(std::string_view text, std::string& out);
};

}  // namespace corvane
