#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string_view>

#include "models/model.h"

namespace corvane {

// Builds a model from its tokenizer.json object ("model"), as the peer reads it:
//   BPE        vocab ({token: id}), merges (all "left right" strings, or all
//              ["left", "right"] pairs; a string list may hold "#version" lines, which are
//              skipped), and optional (null meaning absent) unk_token,
//              continuing_subword_prefix, end_of_word_suffix, fuse_unk, byte_fallback,
//              ignore_merges (false by default) and dropout (only null, 0 or 1: any other
//              value would make tokenization random)
//   WordPiece  vocab, unk_token, continuing_subword_prefix, max_input_chars_per_word
//              (all required)
//   WordLevel  vocab, unk_token (both required)
//   Unigram    see formats/unigram_json.h
// An object without "type" is read as the peer reads it: as the first of BPE, WordPiece
// and WordLevel that it is a valid object of, else (a list as its vocab) as Unigram. Unknown
// types throw std::invalid_argument "unsupported model: <type>"; a missing or mistyped field, or a
// field the type does not have, throws std::invalid_argument naming the model and the
// field; the peer's own load errors (a merge token not in the vocabulary, ...) keep the
// peer's text after the model's name.
// `tables`, when given, holds the vocab and merges the document reader took out of `value`
// (see formats/tokenizer_document.h).
struct ModelTables;
std::unique_ptr<const Model> model_from_json(const nlohmann::json& value, const ModelTables* tables = nullptr);
// The same from JSON text.
std::unique_ptr<const Model> model_from_json(std::string_view text);

}  // namespace corvane
