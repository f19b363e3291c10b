#include "pipeline/truncation.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace corvane {
namespace {

// Tokens [start, stop) of `r` as a record of their own (no ranges, no overflowing parts).
EncodingRecord part_of(const EncodingRecord& r, std::size_t start, std::size_t stop) {
  EncodingRecord p;
  auto take = [&](const auto& from, auto& to) { to.assign(from.begin() + start, from.begin() + stop); };
  take(r.ids, p.ids);
  take(r.type_ids, p.type_ids);
  p.tokens = r.tokens.slice(start, stop);
  take(r.words, p.words);
  take(r.offsets, p.offsets);
  take(r.special_tokens_mask, p.special_tokens_mask);
  take(r.attention_mask, p.attention_mask);
  return p;
}

}  // namespace

void truncate_record(EncodingRecord& record, std::size_t max_length, std::size_t stride, Side direction) {
  const std::size_t n = record.size();
  if (max_length >= n) return;
  if (max_length == 0) {
    EncodingRecord whole = std::move(record);
    record = EncodingRecord{};
    record.overflowing.push_back(std::move(whole));
    return;
  }
  if (stride >= max_length) {
    throw std::invalid_argument("truncation stride (" + std::to_string(stride) +
                                ") must be strictly less than max_length (" + std::to_string(max_length) +
                                ", less the special tokens the post-processor adds)");
  }
  // The parts, first the one kept: windows of max_length tokens every (max_length - stride)
  // tokens, from the end that is kept, until one reaches the other end.
  const std::size_t step = max_length - stride;
  std::vector<std::pair<std::size_t, std::size_t>> parts;
  if (direction == Side::kRight) {
    for (std::size_t start = 0; start < n; start += step) {
      const std::size_t stop = std::min(start + max_length, n);
      parts.emplace_back(start, stop);
      if (stop == n) break;
    }
  } else {
    // Windows end at n, n - step, ... (the peer walks i = n-1, n-1-step, ... and ends at i+1).
    for (std::size_t i = n; i-- > 0;) {
      const std::size_t stop = i + 1;
      const std::size_t start = stop > max_length ? stop - max_length : 0;
      parts.emplace_back(start, stop);
      if (start == 0) break;
      if (i < step) break;
      i -= step - 1;
    }
  }
  EncodingRecord kept = part_of(record, parts[0].first, parts[0].second);
  for (std::size_t k = 1; k < parts.size(); ++k) {
    kept.overflowing.push_back(part_of(record, parts[k].first, parts[k].second));
  }
  record = std::move(kept);
}

void truncate_records(EncodingRecord& record, std::optional<EncodingRecord>& pair, const TruncationParams& params) {
  if (params.max_length == 0) {
    truncate_record(record, 0, params.stride, params.direction);
    if (pair) truncate_record(*pair, 0, params.stride, params.direction);
    return;
  }
  const std::size_t total = record.size() + (pair ? pair->size() : 0);
  if (total <= params.max_length) return;
  const std::size_t to_remove = total - params.max_length;
  switch (params.strategy) {
    case TruncationParams::Strategy::kLongestFirst: {
      if (!pair) {
        truncate_record(record, total - to_remove, params.stride, params.direction);
        return;
      }
      std::size_t n1 = record.size();
      std::size_t n2 = pair->size();
      const bool swap = n1 > n2;
      if (swap) std::swap(n1, n2);
      if (n1 > params.max_length) {
        n2 = n1;
      } else {
        n2 = std::max(n1, params.max_length - n1);
      }
      if (n1 + n2 > params.max_length) {
        n1 = params.max_length / 2;
        n2 = n1 + params.max_length % 2;
      }
      if (swap) std::swap(n1, n2);
      truncate_record(record, n1, params.stride, params.direction);
      truncate_record(*pair, n2, params.stride, params.direction);
      return;
    }
    case TruncationParams::Strategy::kOnlyFirst:
    case TruncationParams::Strategy::kOnlySecond: {
      EncodingRecord* target = &record;
      if (params.strategy == TruncationParams::Strategy::kOnlySecond) {
        if (!pair) throw std::invalid_argument("Truncation error: Second sequence not provided");
        target = &*pair;
      }
      const std::size_t len = target->size();
      if (len <= to_remove) {
        throw std::invalid_argument(
            "Truncation error: Sequence to truncate too short to respect the provided max_length");
      }
      truncate_record(*target, len - to_remove, params.stride, params.direction);
      return;
    }
  }
}

}  // namespace corvane
