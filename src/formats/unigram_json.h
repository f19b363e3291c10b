#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>

#include "formats/tokenizer_document.h"
#include "models/model.h"

namespace corvane {

// Builds the Unigram model of a tokenizer.json "model" object ({"type": "Unigram", ...}):
//   vocab          required: a list of [piece, score] pairs (the id of a piece is its index)
//   unk_id         optional: null or the id of the unknown token
//   byte_fallback  optional: true or false (false when absent)
// Errors are std::invalid_argument "model Unigram: <what is wrong>": a missing vocab
// ("Missing vocab"), a mistyped field or entry, a field the model does not have, and the
// peer's load errors ("The vocabulary is empty but at least <unk> is needed", "The `unk_id`
// is larger than vocabulary size").
// `tables`, when given, may hold the vocab read apart from the document's tree.
std::unique_ptr<const Model> unigram_from_json(const nlohmann::json& model, const ModelTables* tables = nullptr);

}  // namespace corvane
