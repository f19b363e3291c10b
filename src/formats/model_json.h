#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string_view>

#include "models/model.h"

namespace corvane {

// Builds a model from its tokenizer.json object ("model"). Only "Unigram" for now; any
// other type throws std::invalid_argument "unsupported model: <type>".
std::unique_ptr<const Model> model_from_json(const nlohmann::json& value);
// The same from JSON text.
std::unique_ptr<const Model> model_from_json(std::string_view text);

}  // namespace corvane
