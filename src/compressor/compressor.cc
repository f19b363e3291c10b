#include "compressor/compressor.h"
// PLACEHOLDER: replaced by the real implementation.
namespace corvane {
Compressor::Compressor() {}
std::string Compressor::compress(const std::string& text) const { return text; }
std::string Compressor::decompress(const std::string& text) const { return text; }
}  // namespace corvane
