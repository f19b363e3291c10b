#include "post_processors/special_token.h"

namespace corvane {

EncodingRecord SpecialToken::record(uint32_t type_id) const {
  EncodingRecord r;
  const std::size_t n = ids.size();
  r.ids = ids;
  r.tokens = TokenTexts(tokens);
  r.type_ids.assign(n, type_id);
  r.words.assign(n, std::nullopt);
  r.offsets.assign(n, Offsets{});
  r.special_tokens_mask.assign(n, 1);
  r.attention_mask.assign(n, 1);
  return r;
}

}  // namespace corvane
