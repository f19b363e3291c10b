#include "models/bpe/metaspace_cuts.h"

#include <algorithm>

namespace corvane {

void MetaspaceCuts::note(std::string_view piece) {
  for (std::size_t at = piece.find(kMetaspace, 1); at != std::string_view::npos; at = piece.find(kMetaspace, at + 1)) {
    const char32_t c = char_before(piece, at);
    if (std::find(before_metaspace_.begin(), before_metaspace_.end(), c) == before_metaspace_.end()) {
      before_metaspace_.push_back(c);
    }
  }
}

void MetaspaceCuts::finish() { std::sort(before_metaspace_.begin(), before_metaspace_.end()); }

bool MetaspaceCuts::words_only() const {
  return before_metaspace_.empty() || (before_metaspace_.size() == 1 && before_metaspace_[0] == U'\u2581');
}

bool MetaspaceCuts::joined(char32_t c) const {
  return std::binary_search(before_metaspace_.begin(), before_metaspace_.end(), c);
}

char32_t MetaspaceCuts::char_before(std::string_view text, std::size_t at) {
  std::size_t q = at - 1;
  while (q > 0 && (static_cast<unsigned char>(text[q]) & 0xC0) == 0x80) --q;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data() + q);
  switch (at - q) {
    case 1:
      return p[0];
    case 2:
      return ((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu);
    case 3:
      return ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    default:
      return ((p[0] & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
  }
}

}  // namespace corvane
