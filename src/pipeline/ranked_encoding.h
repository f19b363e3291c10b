#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "added_tokens/special_tokens.h"
#include "core/cancellation.h"
#include "models/bpe/ranked_bpe_model.h"
#include "pre_tokenizers/pre_tokenizer.h"

namespace corvane {

// A tiktoken-style encoding: a pre-tokeniser (the encoding's pattern), the ranked byte-pair
// model, and special tokens.
//
//   ordinary text  -> pre-tokens -> each pre-token merged by rank -> ids
//   with specials  -> the text is cut at the allowed special tokens found in it (leftmost
//                     first, longest on ties); each stretch between them is encoded as a
//                     text of its own, and each special token becomes its id.
//
// Text is bytes. Well-formed UTF-8 is pre-tokenised by the pattern; each byte that is not
// part of a well-formed character is a pre-token of its own (its ids are those of that one
// byte), so no byte is ever lost. encode_bytes follows tiktoken's own rule for such bytes.
//
// Immutable after construction; one encoding may serve several threads at once.
class RankedEncoding {
 public:
  using TokenSet = SpecialTokens::TokenSet;
  using Scratch = RankedBpeModel::Scratch;

  // `model` and `specials` must be finished. A special token may share its id with an
  // ordinary token: decoding gives the ordinary token's bytes.
  RankedEncoding(RankedBpeModel model, SpecialTokens specials, PreTokenizer pre);

  const RankedBpeModel& model() const { return model_; }
  const SpecialTokens& specials() const { return specials_; }
  const PreTokenizer& pre_tokenizer() const { return pre_; }
  // The highest id of any token, ordinary or special (-1 when there is none).
  int64_t max_token_id() const { return max_id_; }

  // Calls emit(id) for each id of `text`; `allowed` is the set of special tokens that are
  // recognised (nullptr or an empty set: none, all special-token text is plain text).
  template <class Emit>
  void encode_each(std::string_view text, const TokenSet* allowed, Scratch& st, Emit&& emit) const;

  std::vector<int32_t> encode(std::string_view text, const TokenSet* allowed) const;
  std::size_t count(std::string_view text, const TokenSet* allowed) const;
  // Batches, one scratch for all the texts (which must stay alive for the call): appends
  // the ids of texts[i] to `ids` and sets ends[i] to the size of `ids` after them.
  void encode_many(const std::string_view* texts, std::size_t n, const TokenSet* allowed,
                   std::vector<int32_t>& ids, std::size_t* ends) const;
  void count_many(const std::string_view* texts, std::size_t n, const TokenSet* allowed,
                  std::size_t* counts) const;

  // tiktoken's rule for bytes that are not all UTF-8: the longest well-formed prefix is
  // encoded as text; then the ids of its last pre-token (taken further back over ids whose
  // tokens are all blanks, tabs and line feeds) are dropped, and their bytes together with
  // everything from the first ill-formed byte on are encoded as one piece.
  std::vector<int32_t> encode_bytes(std::string_view data) const;
  // One piece, merged by rank with no pre-tokenisation.
  std::vector<int32_t> encode_single_piece(std::string_view piece) const;

  // The bytes of a token: the ordinary token of that id, else the special token.
  bool token_bytes(int64_t id, std::string_view& out) const;
  // Appends the bytes of the ids to `out`. Returns false at the first id that has no
  // token, with `bad` set to it.
  template <class Id>
  bool decode(const Id* ids, std::size_t n, std::string& out, int64_t& bad) const;

  // Byte offsets [begin, end) of the pre-tokens of `text` (special tokens not looked for).
  std::vector<std::pair<std::size_t, std::size_t>> split(std::string_view text) const;

  // Where a long text may be cut into blocks that encode to the same ids as the whole:
  // the largest p <= data.size() such that, whatever bytes follow `data`, the pre-tokens of
  // the whole text are those of data[0, p) followed by those of the rest. See the .cc.
  std::size_t safe_cut(std::string_view data) const;

  // The whole encoding (pattern, ranks, special tokens) in a compact, versioned and
  // checksummed form, and back. `restore` throws std::invalid_argument
  // "invalid CoreBPE state: ..." on anything malformed.
  std::string save() const;
  static RankedEncoding restore(std::string_view state);

 private:
  template <class Emit>
  void encode_text(std::string_view text, const char* text_end, Scratch& st, Emit& emit,
                   Cancellation::Poller& poll) const;
  bool all_blank(int32_t id) const;

  PreTokenizer pre_;
  RankedBpeModel model_;
  SpecialTokens specials_;
  int64_t max_id_ = -1;
};

template <class Emit>
void RankedEncoding::encode_text(std::string_view text, const char* text_end, Scratch& st, Emit& emit,
                                 Cancellation::Poller& poll) const {
  pre_.split(text, [&](std::string_view word) {
    poll.tick(word.size());
    model_.encode_word(word, text_end, st, emit);
  });
}

template <class Emit>
void RankedEncoding::encode_each(std::string_view text, const TokenSet* allowed, Scratch& st,
                                 Emit&& emit) const {
  const char* const end = text.data() + text.size();
  st.prepare(text.size());
  // Work started for a batch can be stopped between two pre-tokens (and within a long
  // merge, by the merger's own polls).
  Cancellation::Poller poll;
  if (allowed == nullptr || allowed->empty()) {
    encode_text(text, end, st, emit, poll);
    return;
  }
  std::size_t start = 0, pos = 0, index = 0;
  while (specials_.find(text, start, *allowed, pos, index)) {
    if (pos > start) encode_text(text.substr(start, pos - start), end, st, emit, poll);
    emit(specials_.id(index));
    start = pos + specials_.text(index).size();
    poll.tick(specials_.text(index).size());
  }
  if (start < text.size()) encode_text(text.substr(start), end, st, emit, poll);
}

template <class Id>
bool RankedEncoding::decode(const Id* ids, std::size_t n, std::string& out, int64_t& bad) const {
  std::string_view bytes;
  for (std::size_t i = 0; i < n; ++i) {
    if (!token_bytes(static_cast<int64_t>(ids[i]), bytes)) {
      bad = static_cast<int64_t>(ids[i]);
      return false;
    }
    out.append(bytes);
  }
  return true;
}

}  // namespace corvane
