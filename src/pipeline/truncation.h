#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "pipeline/encoding_record.h"

namespace corvane {

enum class Side : uint8_t { kLeft, kRight };

// How long encodings are cut, as tokenizer.json's "truncation" describes it.
struct TruncationParams {
  enum class Strategy : uint8_t { kLongestFirst, kOnlyFirst, kOnlySecond };
  std::size_t max_length = 512;
  std::size_t stride = 0;
  Strategy strategy = Strategy::kLongestFirst;
  Side direction = Side::kRight;
};

// Cuts `record` to at most `max_length` tokens from the end `direction` names; what is cut
// off becomes overflowing records of max_length tokens each, consecutive ones sharing
// `stride` tokens, as the peer's Encoding::truncate makes them. Throws
// std::invalid_argument when stride is not below a non-zero max_length.
void truncate_record(EncodingRecord& record, std::size_t max_length, std::size_t stride, Side direction);

// Truncates a sequence and its optional pair together so that they hold at most
// params.max_length tokens, by params.strategy. Throws std::invalid_argument
// "Truncation error: Second sequence not provided" and "Truncation error: Sequence to
// truncate too short to respect the provided max_length" where the peer fails.
void truncate_records(EncodingRecord& record, std::optional<EncodingRecord>& pair, const TruncationParams& params);

}  // namespace corvane
