#include "normalizers/byte_level_normalizer.h"

#include <vector>

#include "core/byte_level.h"

namespace corvane {

void ByteLevelNormalizer::normalize(NormalizedText& text) const {
  if (text.empty()) return;
  std::vector<NormalizedText::Change> dest;
  const std::string& s = text.normalized();
  dest.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    std::size_t next = i;
    next_char(s, next);
    for (std::size_t k = i; k < next; ++k) {
      dest.push_back({ByteLevel::char_of(static_cast<unsigned char>(s[k])), k > i ? 1 : 0});
    }
    i = next;
  }
  text.transform(dest, 0);
}

}  // namespace corvane
