#include "normalizers/replace.h"

#include <cstring>

namespace corvane {

Replace::Replace(Kind kind, std::string_view pattern, std::string_view content)
    : kind_(kind), pattern_(pattern), content_(content) {
  if (kind_ == Kind::Regex) regex_ = std::make_unique<OnigRegex>(pattern);
}

std::vector<std::pair<std::size_t, std::size_t>> Replace::find_all(std::string_view text) const {
  if (regex_) return regex_->find_all(text);
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
