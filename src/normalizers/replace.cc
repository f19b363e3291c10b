#include "normalizers/replace.h"

#include <cstring>

#include "core/unicode.h"

namespace corvane {

Replace::Replace(Kind kind, std::string_view pattern, std::string_view content)
    : kind_(kind), pattern_(pattern), content_(content) {
  // \s+ (CLIP's files squeeze whitespace with it) is found by hand: a search per match
  // through the regex engine costs more than the rest of the normalization.
  whitespace_runs_ = kind_ == Kind::Regex && pattern == "\\s+";
  if (kind_ == Kind::Regex && !whitespace_runs_) regex_ = std::make_unique<OnigRegex>(pattern);
}

namespace {

// The runs of White_Space characters (Oniguruma's \s) in well-formed UTF-8 `text`.
std::vector<std::pair<std::size_t, std::size_t>> whitespace_runs(std::string_view text) {
  std::vector<std::pair<std::size_t, std::size_t>> out;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t run = n;  // start of the current run, n when outside one
  for (std::size_t i = 0; i < n;) {
    std::size_t len = 1;
    bool space;
    if (s[i] < 0x80) {
      space = s[i] == ' ' || (s[i] >= 0x09 && s[i] <= 0x0D);
    } else {
      std::size_t at = i;
      space = unicode::is_white_space(next_char(text, at));
      len = at - i;
    }
    if (space && run == n) run = i;
    if (!space && run != n) {
      out.emplace_back(run, i);
      run = n;
    }
    i += len;
  }
  if (run != n) out.emplace_back(run, n);
  return out;
}

}  // namespace

std::vector<std::pair<std::size_t, std::size_t>> Replace::find_all(std::string_view text) const {
  if (regex_) return regex_->find_all(text);
  if (whitespace_runs_) return whitespace_runs(text);
  std::vector<std::pair<std::size_t, std::size_t>> out;
  if (pattern_.empty()) {
    // Matches the empty string at every character boundary, the end included.
    for (std::size_t i = 0; i < text.size(); ++i) {
      if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) out.emplace_back(i, i);
    }
    out.emplace_back(text.size(), text.size());
    return out;
  }
  // memmem is linear (two-way search).
  std::size_t from = 0;
  while (from + pattern_.size() <= text.size()) {
    const void* hit = memmem(text.data() + from, text.size() - from, pattern_.data(), pattern_.size());
    if (!hit) break;
    const auto at = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
    out.emplace_back(at, at + pattern_.size());
    from = at + pattern_.size();
  }
  return out;
}

void Replace::normalize(NormalizedText& text) const {
  if (text.empty()) return;
  text.replace(find_all(text.normalized()), content_);
}

}  // namespace corvane
