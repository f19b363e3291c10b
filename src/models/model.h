#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace corvane {

// One token a model found in a piece: its id, and the bytes [begin, end) of the piece's
// (normalized) text it stands for. `surface` marks a token whose text is those bytes
// rather than its id's vocabulary entry (the peers' Unigram models give a run of unknown
// characters its own text).
struct PieceToken {
  uint32_t id;
  uint32_t begin;
  uint32_t end;
  bool surface = false;
};

// The model stage of a tokenizer.json pipeline (BPE, WordPiece, WordLevel, ...): turns one
// pre-tokenized piece into tokens, and knows its vocabulary in both directions.
//
// A model is immutable once built and may serve several threads at once; what a call may
// change (a cache of pieces already tokenized) lives in a Scratch that each thread owns.
class Model {
 public:
  class Scratch {
   public:
    virtual ~Scratch() = default;
  };

  virtual ~Model() = default;

  // A fresh scratch for one thread; nullptr when the model needs none.
  virtual std::unique_ptr<Scratch> new_scratch() const { return nullptr; }

  // Appends the tokens of `piece` (well-formed UTF-8, not empty) to `out`, in order.
  // `scratch` is what new_scratch() gave this thread (or nullptr: then nothing is cached).
  // Throws std::runtime_error with the peer's message where the peer fails.
  virtual void tokenize(std::string_view piece, Scratch* scratch, std::vector<PieceToken>& out) const = 0;

  virtual std::optional<uint32_t> token_to_id(std::string_view token) const = 0;
  // The token of an id; the view lives as long as the model.
  virtual std::optional<std::string_view> id_to_token(uint32_t id) const = 0;
  // The number of entries of the vocabulary, as the peer's get_vocab_size gives it.
  virtual std::size_t vocab_size() const = 0;
  // Calls fn(token, id) for each vocabulary entry, in no particular order.
  virtual void for_each_token(const std::function<void(std::string_view, uint32_t)>& fn) const = 0;
  // One more than the highest id of any token (0 for none). By default from for_each_token;
  // a model whose ids are simply its entries' places says so at once.
  virtual std::size_t id_bound() const {
    std::size_t top = 0;
    for_each_token([&](std::string_view, uint32_t id) { top = std::max<std::size_t>(top, id + std::size_t{1}); });
    return top;
  }
};

}  // namespace corvane
