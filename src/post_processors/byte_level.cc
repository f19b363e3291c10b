#include "post_processors/byte_level.h"

#include <algorithm>

#include "core/unicode.h"
#include "decoders/token_text.h"

namespace corvane {

namespace {

constexpr char32_t kSpaceStandIn = 0x120;  // "Ġ", the byte-level stand-in of the space

bool is_space(char32_t cp) { return cp == kSpaceStandIn || (cp != token_text::kNotAChar && unicode::is_white_space(cp)); }

// Numbers of characters at the start and at the end of `token` that are spaces (both the
// whole length when all are).
void count_spaces(std::string_view token, std::size_t& leading, std::size_t& trailing) {
  leading = trailing = 0;
  bool in_lead = true;
  for (std::size_t i = 0; i < token.size();) {
    std::size_t len = 0;
    if (is_space(token_text::char_at(token, i, len))) {
      ++trailing;
      if (in_lead) ++leading;
    } else {
      trailing = 0;
      in_lead = false;
    }
    i += len;
  }
}

}  // namespace

void ByteLevelPostProcessor::trim_offsets(EncodingRecord& record, bool add_prefix_space) {
  for (std::size_t i = 0; i < record.size(); ++i) {
    const std::string_view token = record.tokens[i];
    Offsets& o = record.offsets[i];
    std::size_t leading = 0, trailing = 0;
    count_spaces(token, leading, trailing);
    if (leading == 0 && trailing == 0) continue;
    if (leading > 0) {
      const bool is_first = i == 0 || o.start == 0;
      // The one space that add_prefix_space put before the first word stays; more than one
      // were in the text.
      if (is_first && add_prefix_space && leading == 1) leading = 0;
      o.start = std::min(o.start > SIZE_MAX - leading ? SIZE_MAX : o.start + leading, o.end);
    }
    if (trailing > 0 && o.end >= trailing) o.end = std::max(o.end - trailing, o.start);
  }
}

void ByteLevelPostProcessor::process_encodings(std::vector<EncodingRecord>& encodings, bool) const {
  if (trim_offsets_) {
    for (EncodingRecord& e : encodings) {
      trim_offsets(e, add_prefix_space_);
      for (EncodingRecord& part : e.overflowing) trim_offsets(part, add_prefix_space_);
    }
  }
  for (std::size_t i = 0; i < encodings.size(); ++i) encodings[i].set_sequence_id(i);
}

}  // namespace corvane
