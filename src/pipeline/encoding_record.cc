#include "pipeline/encoding_record.h"

#include <utility>

namespace corvane {

bool EncodingRecord::consistent() const {
  const std::size_t n = ids.size();
  if (type_ids.size() != n || tokens.size() != n || words.size() != n || offsets.size() != n ||
      special_tokens_mask.size() != n || attention_mask.size() != n) {
    return false;
  }
  for (const SequenceRange& r : sequence_ranges) {
    if (r.begin > r.end || r.end > n) return false;
  }
  for (std::size_t i = 0; i < sequence_ranges.size(); ++i) {
    for (std::size_t j = i + 1; j < sequence_ranges.size(); ++j) {
      if (sequence_ranges[i].sequence == sequence_ranges[j].sequence) return false;
    }
  }
  for (const EncodingRecord& o : overflowing) {
    if (!o.consistent()) return false;
  }
  return true;
}

void EncodingRecord::reserve(std::size_t n) {
  ids.reserve(n);
  type_ids.reserve(n);
  tokens.reserve(n);
  words.reserve(n);
  offsets.reserve(n);
  special_tokens_mask.reserve(n);
  attention_mask.reserve(n);
}

namespace {

void put_range(std::vector<SequenceRange>& ranges, SequenceRange r) {
  for (SequenceRange& old : ranges) {
    if (old.sequence == r.sequence) {
      old = r;
      return;
    }
  }
  ranges.push_back(r);
}

template <class T>
void extend(std::vector<T>& a, std::vector<T>&& b) {
  if (a.empty()) {
    a = std::move(b);
    return;
  }
  a.insert(a.end(), std::make_move_iterator(b.begin()), std::make_move_iterator(b.end()));
}

}  // namespace

void EncodingRecord::set_sequence_id(std::size_t id) { put_range(sequence_ranges, SequenceRange{id, 0, size()}); }

void EncodingRecord::set_type_ids(uint32_t type_id) { type_ids.assign(size(), type_id); }

void EncodingRecord::append(EncodingRecord other) {
  std::vector<EncodingRecord> combined;
  if (!overflowing.empty() || !other.overflowing.empty()) {
    for (const EncodingRecord& mine : overflowing) {
      EncodingRecord with_other = mine;
      with_other.append(other);
      combined.push_back(std::move(with_other));
      for (const EncodingRecord& theirs : other.overflowing) {
        EncodingRecord with_part = mine;
        with_part.append(theirs);
        combined.push_back(std::move(with_part));
      }
    }
    for (const EncodingRecord& theirs : other.overflowing) {
      EncodingRecord self_with_part = *this;
      self_with_part.append(theirs);
      combined.push_back(std::move(self_with_part));
    }
  }
  const std::size_t shift = size();
  for (const SequenceRange& r : other.sequence_ranges) {
    put_range(sequence_ranges, SequenceRange{r.sequence, r.begin + shift, r.end + shift});
  }
  extend(ids, std::move(other.ids));
  extend(type_ids, std::move(other.type_ids));
  tokens.append(std::move(other.tokens));
  extend(words, std::move(other.words));
  extend(offsets, std::move(other.offsets));
  extend(special_tokens_mask, std::move(other.special_tokens_mask));
  extend(attention_mask, std::move(other.attention_mask));
  overflowing = std::move(combined);
}

EncodingRecord EncodingRecord::merge(std::vector<EncodingRecord> records) {
  EncodingRecord out;
  std::size_t total = 0;
  for (const EncodingRecord& r : records) total += r.size();
  out.reserve(total);
  for (EncodingRecord& r : records) out.append(std::move(r));
  return out;
}

std::vector<std::optional<std::size_t>> EncodingRecord::sequence_ids() const {
  const std::size_t n = size();
  std::vector<std::optional<std::size_t>> out(n);
  // Sequence numbers 0 .. count-1 are looked up; a number without a range covers all
  // tokens (the peer's rule, which makes a record without ranges one sequence 0).
  const std::size_t count = sequence_ranges.empty() ? 1 : sequence_ranges.size();
  for (std::size_t seq = 0; seq < count; ++seq) {
    std::size_t begin = 0, end = n;
    for (const SequenceRange& r : sequence_ranges) {
      if (r.sequence == seq) {
        begin = r.begin;
        end = r.end;
      }
    }
    for (std::size_t i = begin; i < end && i < n; ++i) out[i] = seq;
  }
  return out;
}

}  // namespace corvane
