#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/cancellation.h"
#include "pipeline/ranked_encoding.h"
#include "pre_tokenizers/ascii_gpt2_scanner.h"

namespace corvane {

// A byte-pair-encoding tokenizer, loaded from a tiktoken rank file or a HuggingFace
// tokenizer.json file. It is a configuration of the byte-pair pipeline (RankedEncoding):
// the fixed ASCII pre-tokenizer, the loaded tables taken as they are (RankedBpeModel's
// as_loaded: ids by joined bytes for a rank file, by the merge list for tokenizer.json),
// and no special tokens. Without tables it numbers the words of a text instead.
//
// Immutable once loaded: every public method only reads the tables, so one tokenizer may
// serve several threads at once.
class BPETokenizer {
 public:
  BPETokenizer() = default;
  BPETokenizer(const BPETokenizer&) = default;
  BPETokenizer& operator=(const BPETokenizer&) = default;
  // Moving leaves the source empty (not loaded).
  BPETokenizer(BPETokenizer&& other) noexcept : encoding_(std::move(other.encoding_)) { other.encoding_.reset(); }
  BPETokenizer& operator=(BPETokenizer&& other) noexcept {
    if (this != &other) {
      encoding_ = std::move(other.encoding_);
      other.encoding_.reset();
    }
    return *this;
  }
  ~BPETokenizer() = default;

  static BPETokenizer from_tiktoken_file(const std::string& path);
  static BPETokenizer from_hf_json(const std::string& path);

  bool is_loaded() const { return encoding_.has_value(); }

  std::vector<int32_t> encode(std::string_view text) const;
  std::string decode(const std::vector<int32_t>& ids) const;
  std::size_t count(std::string_view text) const;

  // Encodes `n` texts one after the other: appends the ids of texts[i] to `ids` and sets
  // ends[i] to the size of `ids` after them. Pre-tokens merged once are remembered across
  // the texts, so all of them must stay alive and unchanged for the whole call.
  void encode_many(const std::string_view* texts, std::size_t n, std::vector<int32_t>& ids,
                   std::size_t* ends) const;
  // The same for counting: counts[i] is count(texts[i]).
  void count_many(const std::string_view* texts, std::size_t n, std::size_t* counts) const;

  // The tables in a compact, versioned binary form (see bpe_tokenizer.cc), and back. The
  // restored tokenizer gives the same results as this one on every input.
  // `deserialize` throws std::invalid_argument "invalid BPETokenizer pickle state: ..." on
  // anything malformed, and takes time linear in the size of the state.
  std::string serialize() const;
  static BPETokenizer deserialize(std::string_view state);

  // Calls emit(int32_t id) for each id that `encode` would return, in order.
  template <class Emit>
  void encode_each(std::string_view text, Emit&& emit) const;

 private:
  // Vocabulary and merge list as a loader filled them; an empty vocabulary is refused with
  // `empty_message`.
  void configure(Vocabulary vocab, std::optional<MergeTable> merges, const char* empty_message);
  static std::size_t base64_decode(std::string_view s, std::string& out);
  template <class Emit>
  static void naive_word_count(std::string_view text, Emit&& emit, Cancellation::Poller& poll);

  std::optional<RankedEncoding> encoding_;  // empty: not loaded
};

template <class Emit>
void BPETokenizer::naive_word_count(std::string_view text, Emit&& emit, Cancellation::Poller& poll) {
  int32_t k = 0;
  bool in_word = false;
  while (!text.empty()) {
    const std::string_view block = text.substr(0, Cancellation::kInterval);
    for (unsigned char c : block) {
      const bool space = AsciiGpt2Scanner::class_of(c) == AsciiGpt2Scanner::kSpace;
      if (!space && !in_word) emit(k++);
      in_word = !space;
    }
    text.remove_prefix(block.size());
    poll.tick(block.size());
  }
}

template <class Emit>
void BPETokenizer::encode_each(std::string_view text, Emit&& emit) const {
  if (!encoding_) {
    Cancellation::Poller poll;
    naive_word_count(text, emit, poll);
    return;
  }
  RankedEncoding::Scratch st;
  encoding_->encode_each(text, nullptr, st, emit);
}

}  // namespace corvane
