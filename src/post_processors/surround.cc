#include "post_processors/surround.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace corvane {

namespace {

// One new buffer when something goes in front (inserting at the front would shift every
// element and may grow the buffer twice); else one push at the end.
template <class T>
void put_around(std::vector<T>& v, bool has_before, const T& front, const T& back) {
  if (!has_before) {
    v.push_back(back);
    return;
  }
  std::vector<T> out;
  out.reserve(v.size() + 2);
  out.push_back(front);
  std::move(v.begin(), v.end(), std::back_inserter(out));
  out.push_back(back);
  v = std::move(out);
}

}  // namespace

void surround(EncodingRecord& r, std::optional<Surrounding> before, Surrounding after, std::optional<uint32_t> inner_type) {
  const std::size_t n = r.size();
  const bool b = before.has_value();
  const Surrounding& f = b ? *before : after;
  put_around(r.ids, b, f.id, after.id);
  if (inner_type) r.type_ids.assign(n, *inner_type);
  put_around(r.type_ids, b, f.type_id, after.type_id);
  const std::string_view front = *f.token;
  r.tokens.put_around(b ? &front : nullptr, *after.token);
  put_around(r.words, b, std::optional<uint32_t>(), std::optional<uint32_t>());
  put_around(r.offsets, b, Offsets{}, Offsets{});
  r.special_tokens_mask.assign(n, 0);
  put_around(r.special_tokens_mask, b, uint32_t{1}, uint32_t{1});
  r.attention_mask.assign(r.ids.size(), 1);
}

}  // namespace corvane
