#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pipeline/encoding_record.h"
#include "pipeline/truncation.h"

namespace corvane {

// How encodings are padded, as tokenizer.json's "padding" describes it: to a fixed length,
// or (length unset) to the longest encoding of the batch; the length is then rounded up
// to a multiple of pad_to_multiple_of when that is set and not zero.
struct PaddingParams {
  std::optional<std::size_t> length;  // unset: the batch's longest
  Side direction = Side::kRight;
  std::optional<std::size_t> pad_to_multiple_of;
  uint32_t pad_id = 0;
  uint32_t pad_type_id = 0;
  std::string pad_token = "[PAD]";
};

// Pads `record` (and each of its overflowing parts) to `length` tokens.
void pad_record(EncodingRecord& record, std::size_t length, const PaddingParams& params);

// Pads every record of a batch as the peer's pad_encodings does.
void pad_records(std::vector<EncodingRecord>& records, const PaddingParams& params);

}  // namespace corvane
