#include "decoders/token_text.h"

#include <utility>

#include "core/utf8.h"

namespace corvane::token_text {

namespace {

// A short needle uses the library search (fast on real text, at most needle-length times
// the haystack); a long one Knuth-Morris-Pratt, linear whatever the strings hold.
constexpr std::size_t kShortNeedle = 16;

}  // namespace

void append_char(std::string& out, char32_t cp) {
  Utf8::append(out, cp);
}

LiteralReplacer::LiteralReplacer(std::string from, std::string to) : from_(std::move(from)), to_(std::move(to)) {
  if (from_.size() <= kShortNeedle) return;
  fail_.assign(from_.size(), 0);
  for (std::size_t i = 1, k = 0; i < from_.size(); ++i) {
    while (k > 0 && from_[i] != from_[k]) k = fail_[k - 1];
    if (from_[i] == from_[k]) ++k;
    fail_[i] = k;
  }
}

std::size_t LiteralReplacer::find(std::string_view s, std::size_t start) const {
  if (from_.size() <= kShortNeedle) return s.find(from_, start);
  for (std::size_t i = start, k = 0; i < s.size(); ++i) {
    while (k > 0 && s[i] != from_[k]) k = fail_[k - 1];
    if (s[i] == from_[k]) ++k;
    if (k == from_.size()) return i + 1 - k;
  }
  return std::string_view::npos;
}

std::string LiteralReplacer::apply(std::string_view s) const {
  std::string out;
  if (from_.empty()) {
    out.reserve(s.size() + (s.size() + 1) * to_.size());
    out.append(to_);
    for (std::size_t i = 0; i < s.size();) {
      std::size_t len = 0;
      char_at(s, i, len);
      out.append(s.substr(i, len));
      out.append(to_);
      i += len;
    }
    return out;
  }
  std::size_t pos = find(s, 0);
  if (pos == std::string_view::npos) return std::string(s);
  out.reserve(s.size());
  std::size_t done = 0;
  while (pos != std::string_view::npos) {
    out.append(s.substr(done, pos - done));
    out.append(to_);
    done = pos + from_.size();
    pos = find(s, done);
  }
  out.append(s.substr(done));
  return out;
}

}  // namespace corvane::token_text
