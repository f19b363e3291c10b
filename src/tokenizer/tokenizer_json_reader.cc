#include "tokenizer/tokenizer_json_reader.h"
// PLACEHOLDER: replaced by the real implementation.
#include <stdexcept>
namespace corvane {
void TokenizerJsonReader::read(const std::string& path, const TokenFn&, const MergeFn&) {
  throw std::runtime_error("Cannot open tokenizer.json: " + path);
}
}  // namespace corvane
