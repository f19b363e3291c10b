// Compressor compress and decompress of arbitrary bytes: the result equals the literal
// procedure's, and the properties every result must have hold.

#include <cstddef>
#include <cstdint>
#include <string>

#include "compressor/compressor.h"
#include "fuzz_support.h"
#include "reference_compressor.h"
#include "reference_loaders.h"

using fuzzsupport::show;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const corvane::Compressor c;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const bool utf8 = fuzzref::repair_utf8(text) == text;

  const std::string small = c.compress(text);
  FUZZ_CHECK(small.size() <= text.size(), "compress made the text longer: " + show(text));
  FUZZ_CHECK(small.find('\r') == std::string::npos, "a carriage return survived compress: " + show(text));
  FUZZ_CHECK(small.find("  ") == std::string::npos && small.find('\t') == std::string::npos,
        "a run of blanks survived compress: " + show(text));
  FUZZ_CHECK(small.find("\n\n") == std::string::npos, "a run of line breaks survived compress: " + show(text));
  FUZZ_CHECK(small.empty() || (small.front() != ' ' && small.front() != '\n' && small.back() != ' ' && small.back() != '\n'),
        "compress left blanks at an end: " + show(text));
  if (utf8) FUZZ_CHECK(fuzzref::repair_utf8(small) == small, "compress broke UTF-8: " + show(text));
  const std::string want_small = fuzzref::compress(text);
  FUZZ_CHECK(small == want_small, "compress " + show(text) + " gave " + show(small) + ", expected " + show(want_small));

  const std::string big = c.decompress(text);
  FUZZ_CHECK(big.size() >= text.size(), "decompress made the text shorter: " + show(text));
  if (utf8) FUZZ_CHECK(fuzzref::repair_utf8(big) == big, "decompress broke UTF-8: " + show(text));
  const std::string want_big = fuzzref::decompress(text);
  FUZZ_CHECK(big == want_big, "decompress " + show(text) + " gave " + show(big) + ", expected " + show(want_big));
  return 0;
}
