// The compressor against the literal procedure, on texts built from the phrase table: the
// input bytes pick long phrases, short forms, their words and fragments, and separators
// (blanks, tabs, line breaks, punctuation), so that overlaps, chains, resumes and the
// closed insides of expansions come up constantly.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "compressor/compressor.h"
#include "fuzz_support.h"
#include "reference_compressor.h"

using fuzzsupport::show;

namespace {

// The pieces a text is built from.
const std::vector<std::string>& pieces() {
  static const std::vector<std::string> p = [] {
    std::vector<std::string> v;
    for (const auto& [phrase, short_form] : fuzzref::phrase_table()) {
      v.push_back(phrase);
      v.push_back(short_form);
      // The phrase without its boundary spaces, and cut short.
      v.push_back(phrase.substr(1, phrase.size() - 2));
      v.push_back(phrase.substr(0, phrase.size() / 2));
      v.push_back(short_form.substr(1, short_form.size() - 2));
    }
    for (const char* s : {" ", "  ", "\t", " \t ", "\n", "\r\n", "\r", "\n\n", " \n ", ",", ".", ":",
                          "x", "the", "to", "in", "as", "a", "and", "order", "well", "due", "fact",
                          "that", "in order", "addition", "\xC2\xA0", "\0", "\f", "\v", "T", "FY"}) {
      v.emplace_back(s, std::string_view(s).empty() ? 1 : std::string_view(s).size());
    }
    return v;
  }();
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const corvane::Compressor c;
  const std::vector<std::string>& p = pieces();
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    const uint8_t b = data[i];
    if (b < 0xF0) {
      text += p[b % p.size()];
    } else if (i + 1 < size) {
      text += static_cast<char>(data[++i]);  // an escape: one raw byte
    }
  }

  const std::string small = c.compress(text);
  const std::string want_small = fuzzref::compress(text);
  FUZZ_CHECK(small == want_small, "compress " + show(text) + " gave " + show(small) + ", expected " + show(want_small));

  const std::string big = c.decompress(text);
  const std::string want_big = fuzzref::decompress(text);
  FUZZ_CHECK(big == want_big, "decompress " + show(text) + " gave " + show(big) + ", expected " + show(want_big));

  // A compressed text expanded again, and an expanded text compressed again.
  const std::string round = c.decompress(small);
  FUZZ_CHECK(round == fuzzref::decompress(small), "decompress of compressed " + show(small));
  const std::string again = c.compress(big);
  FUZZ_CHECK(again == fuzzref::compress(big), "compress of decompressed " + show(big));
  return 0;
}
