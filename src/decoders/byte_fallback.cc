#include "decoders/byte_fallback.h"

#include "core/utf8.h"

namespace corvane {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool well_formed(const std::string& bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t len = Utf8::char_length(s + i, bytes.size() - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

// Ends a run of byte tokens: its text, or one U+FFFD per byte.
void flush(std::string& run, std::vector<std::string>& out) {
  if (run.empty()) return;
  if (well_formed(run)) {
    out.push_back(std::move(run));
  } else {
    for (std::size_t i = 0; i < run.size(); ++i) out.emplace_back("\xEF\xBF\xBD");
  }
  run.clear();
}

}  // namespace

int ByteFallbackDecoder::byte_of(const std::string& token) {
  if (token.size() != 6 || token.compare(0, 3, "<0x") != 0 || token[5] != '>') return -1;
  const char a = token[3], b = token[4];
  if (a == '+') return hex_value(b);
  const int hi = hex_value(a), lo = hex_value(b);
  return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

std::vector<std::string> ByteFallbackDecoder::decode_chain(std::vector<std::string> tokens) const {
  std::vector<std::string> out;
  out.reserve(tokens.size());
  std::string run;
  for (std::string& token : tokens) {
    const int b = byte_of(token);
    if (b >= 0) {
      run.push_back(static_cast<char>(b));
    } else {
      flush(run, out);
      out.push_back(std::move(token));
    }
  }
  flush(run, out);
  return out;
}

}  // namespace corvane
