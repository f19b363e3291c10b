#include "pre_tokenizers/pre_tokenizer.h"

#include "pre_tokenizers/patterns.h"

namespace corvane {

PreTokenizer PreTokenizer::from_pattern(std::string_view pat_str) {
  PreTokenizer p = regex_only(pat_str);
  if (pat_str == patterns::kR50k) {
    p.kind_ = Kind::kR50k;
  } else if (pat_str == patterns::kCl100k) {
    p.kind_ = Kind::kCl100k;
  } else if (pat_str == patterns::kO200k) {
    p.kind_ = Kind::kO200k;
  }
  return p;
}

PreTokenizer PreTokenizer::regex_only(std::string_view pat_str) {
  PreTokenizer p;
  p.kind_ = Kind::kRegex;
  p.pattern_ = std::string(pat_str);
  p.regex_ = std::make_shared<const RegexSplitter>(pat_str);
  return p;
}

PreTokenizer PreTokenizer::ascii_gpt2() {
  PreTokenizer p;
  p.kind_ = Kind::kAsciiGpt2;
  p.pattern_ = std::string(kAsciiGpt2Pattern);
  return p;
}

}  // namespace corvane
