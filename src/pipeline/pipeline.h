#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "added_tokens/added_vocabulary.h"
#include "decoders/decoder.h"
#include "models/model.h"
#include "normalizers/normalizer.h"
#include "pipeline/encoding_record.h"
#include "pipeline/padding.h"
#include "pipeline/truncation.h"
#include "post_processors/post_processor.h"
#include "pre_tokenizers/hf/pre_tokenizer.h"

namespace corvane {

// The one path every tokenizer.json tokenizer runs, stage by stage as HuggingFace
// `tokenizers` runs it: added tokens are found first, the rest is normalized,
// pre-tokenized and handed piece by piece to the model; the pieces' tokens become an
// EncodingRecord with character offsets into the input; a pair is encoded the same way;
// then truncation, the post-processor (special tokens, type ids) and padding.
//
// Built once, then only read: one pipeline may serve any number of threads, each with its
// own Scratch. Truncation and padding come with each call (a caller may change them
// between calls); the ones the document set are kept for callers to start from.
class Pipeline {
 public:
  struct Components {
    std::unique_ptr<const Normalizer> normalizer;      // may be null
    std::unique_ptr<const hf::PreTokenizer> pre_tokenizer;
    std::unique_ptr<const Model> model;                // required
    std::vector<AddedToken> added_tokens;
    std::unique_ptr<const PostProcessor> post_processor;
    std::unique_ptr<const Decoder> decoder;
    std::optional<TruncationParams> truncation;
    std::optional<PaddingParams> padding;
  };

  // What one call does besides encoding.
  struct Settings {
    std::optional<TruncationParams> truncation;
    std::optional<PaddingParams> padding;
  };

  // Per-thread state of encoding calls.
  struct Scratch {
    std::unique_ptr<Model::Scratch> model;
    std::vector<PieceToken> tokens;
  };

  // Throws std::invalid_argument when the file's truncation leaves no room (see
  // check_truncation).
  explicit Pipeline(Components components);

  Scratch new_scratch() const;

  // Encodes a sequence, or a pair when `pair` is set. Throws std::invalid_argument for
  // text that is not valid UTF-8 and where the peer fails (truncation that cannot be
  // honoured), std::runtime_error where the model fails.
  EncodingRecord encode(std::string_view sequence, std::optional<std::string_view> pair, bool add_special_tokens,
                        const Settings& settings, Scratch& scratch) const;
  // The same without padding (a batch is padded once all its records are known).
  EncodingRecord encode_unpadded(std::string_view sequence, std::optional<std::string_view> pair,
                                 bool add_special_tokens, const Settings& settings, Scratch& scratch) const;

  // The number of tokens of `text`, special tokens included when asked for: what encode
  // gives with neither truncation nor padding, without building the tokens.
  std::size_t count(std::string_view text, bool add_special_tokens, Scratch& scratch) const;

  // The text of `ids`: ids that are neither added tokens nor in the model's vocabulary are
  // skipped, so are special tokens when asked; the decoder joins the rest (without one,
  // they are joined with spaces).
  std::string decode(const uint32_t* ids, std::size_t n, bool skip_special_tokens) const;

  std::optional<uint32_t> token_to_id(std::string_view token) const;
  std::optional<std::string> id_to_token(uint32_t id) const;
  // Every (token, id) of the model, and of the added tokens when asked (an added token
  // replaces a model entry of the same text).
  std::vector<std::pair<std::string, uint32_t>> vocab(bool with_added_tokens) const;
  std::size_t vocab_size(bool with_added_tokens) const;

  // The number of special tokens the post-processor adds to one sequence or a pair.
  std::size_t special_tokens_added(bool is_pair) const;
  // Throws std::invalid_argument when `params` cannot be honoured: a stride that is not
  // below max_length less the special tokens added to one sequence.
  void check_truncation(const TruncationParams& params) const;

  const Settings& defaults() const { return defaults_; }
  const Model& model() const { return *model_; }
  const AddedVocabulary& added_vocabulary() const { return added_; }

 private:
  // One sequence through the stages before post-processing.
  EncodingRecord encode_sequence(std::string_view text, uint32_t type_id, Scratch& scratch) const;
  hf::PreTokenizedText pieces_of(std::string_view text) const;

  std::unique_ptr<const Normalizer> normalizer_;
  std::unique_ptr<const hf::PreTokenizer> pre_tokenizer_;
  std::unique_ptr<const Model> model_;
  AddedVocabulary added_;
  std::unique_ptr<const PostProcessor> post_processor_;
  std::unique_ptr<const Decoder> decoder_;
  Settings defaults_;
  // The model's token of each id, looked up once at load (empty when the ids are too
  // sparse for a table; the model is asked then).
  std::vector<std::string_view> model_tokens_;
};

}  // namespace corvane
