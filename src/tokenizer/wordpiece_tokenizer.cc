#include "tokenizer/wordpiece_tokenizer.h"
// PLACEHOLDER: replaced by the real implementation.
namespace corvane {
WordPieceTokenizer::WordPieceTokenizer(const std::string&) {}
std::vector<int32_t> WordPieceTokenizer::encode(const std::string&) const { return {}; }
std::string WordPieceTokenizer::decode(const std::vector<int32_t>&) const { return {}; }
std::size_t WordPieceTokenizer::count(const std::string&) const { return 0; }
}  // namespace corvane
