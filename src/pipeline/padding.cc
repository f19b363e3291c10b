#include "pipeline/padding.h"

#include <algorithm>

namespace corvane {

void pad_record(EncodingRecord& record, std::size_t length, const PaddingParams& params) {
  for (EncodingRecord& o : record.overflowing) pad_record(o, length, params);
  const std::size_t n = record.size();
  if (n >= length) return;
  const std::size_t pad = length - n;
  auto grow = [&](auto& v, const auto& value) {
    if (params.direction == Side::kRight) {
      v.insert(v.end(), pad, value);
    } else {
      v.insert(v.begin(), pad, value);
    }
  };
  grow(record.ids, params.pad_id);
  grow(record.type_ids, params.pad_type_id);
  record.tokens.insert_repeated(params.direction != Side::kRight, pad, params.pad_token);
  grow(record.words, std::optional<uint32_t>{});
  grow(record.attention_mask, 0u);
  grow(record.special_tokens_mask, 1u);
  grow(record.offsets, Offsets{0, 0});
  if (params.direction == Side::kLeft) {
    for (SequenceRange& r : record.sequence_ranges) {
      r.begin += pad;
      r.end += pad;
    }
  }
}

void pad_records(std::vector<EncodingRecord>& records, const PaddingParams& params) {
  if (records.empty()) return;
  std::size_t length = 0;
  if (params.length) {
    length = *params.length;
  } else {
    for (const EncodingRecord& r : records) length = std::max(length, r.size());
  }
  if (params.pad_to_multiple_of && *params.pad_to_multiple_of > 0 && length % *params.pad_to_multiple_of > 0) {
    length += *params.pad_to_multiple_of - length % *params.pad_to_multiple_of;
  }
  for (EncodingRecord& r : records) pad_record(r, length, params);
}

}  // namespace corvane
