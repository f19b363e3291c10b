#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string_view>

#include "pipeline/pipeline.h"

namespace corvane {

// Builds the pipeline a whole tokenizer.json document describes: "model" (required),
// "normalizer", "pre_tokenizer", "post_processor", "decoder" (each null or a component),
// "added_tokens", "truncation" and "padding" (null or as the peer writes them), "version"
// ("1.0" when present). Other top-level members are ignored, as by the peer.
//
// Errors are std::invalid_argument with a message that names what is wrong:
//   "tokenizer.json is not valid JSON: <reason>"
//   "tokenizer.json must be a JSON object"
//   "Unknown tokenizer version '<v>'"
//   "tokenizer.json has no model"
//   "truncation: <what is wrong>", "padding: <what is wrong>"
// and the messages of each component's factory.
Pipeline pipeline_from_json(const nlohmann::json& document);
// From the text, the bulk of the model read without building its JSON tree.
Pipeline pipeline_from_json_text(std::string_view text);

// The truncation and padding objects on their own (as the document holds them).
TruncationParams truncation_from_json(const nlohmann::json& value);
PaddingParams padding_from_json(const nlohmann::json& value);

}  // namespace corvane
