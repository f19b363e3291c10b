// The o200k pre-tokenisation scanner against the regex engine on the same pattern.

#include "pre_tokenizers/patterns.h"
#include "scanner_diff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using corvane::PreTokenizer;
  static const PreTokenizer scanner = PreTokenizer::from_pattern(corvane::patterns::kO200k);
  static const PreTokenizer regex = PreTokenizer::regex_only(corvane::patterns::kO200k);
  scannerfuzz::run(scanner, regex, PreTokenizer::Kind::kO200k, data, size);
  return 0;
}
