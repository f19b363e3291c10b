#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pipeline/token_texts.h"

namespace corvane {

// Character offsets of a token in its input text: [start, end).
struct Offsets {
  std::size_t start = 0;
  std::size_t end = 0;
  bool operator==(const Offsets&) const = default;
};

// The tokens covered by one input sequence: [begin, end) for sequence `sequence`.
struct SequenceRange {
  std::size_t sequence = 0;
  std::size_t begin = 0;
  std::size_t end = 0;
  bool operator==(const SequenceRange&) const = default;
};

// The result of encoding one sequence, or several merged into one: parallel arrays with
// one entry per token, as HuggingFace `tokenizers` keeps its Encoding.
//
// `sequence_ranges` maps a sequence number to the tokens it covers (at most one range per
// number; none means the whole record is one sequence). `overflowing` holds the parts that
// truncation cut off, each a record of its own; merging two records merges their
// overflowing parts the way the peer does (every combination).
struct EncodingRecord {
  std::vector<uint32_t> ids;
  std::vector<uint32_t> type_ids;
  TokenTexts tokens;
  std::vector<std::optional<uint32_t>> words;
  std::vector<Offsets> offsets;
  std::vector<uint32_t> special_tokens_mask;
  std::vector<uint32_t> attention_mask;
  std::vector<SequenceRange> sequence_ranges;
  std::vector<EncodingRecord> overflowing;

  std::size_t size() const { return ids.size(); }

  // True when the per-token arrays all have size() entries and every sequence range lies
  // within them (the overflowing parts are checked too).
  bool consistent() const;

  void reserve(std::size_t n);

  // Marks all tokens as sequence `id` (replacing an earlier range of that number).
  void set_sequence_id(std::size_t id);
  // Sets every type id to `type_id` (this record only, not its overflowing parts).
  void set_type_ids(uint32_t type_id);

  // Appends `other` after this record: its tokens, and its ranges shifted past ours
  // (replacing ours of the same number). Offsets are kept as they are. The overflowing
  // parts become every combination, in the peer's order: each of ours with `other`
  // and with each of its parts, then this record with each part of `other`.
  void append(EncodingRecord other);

  // The records appended one after another into an empty one.
  static EncodingRecord merge(std::vector<EncodingRecord> records);

  // For each token, the number of the sequence it belongs to, or nothing (special tokens
  // added around the sequences), as the peer's sequence_ids gives it.
  std::vector<std::optional<std::size_t>> sequence_ids() const;
};

}  // namespace corvane
