#include "formats/model_json.h"

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "formats/component_json.h"
#include "formats/unigram_json.h"

namespace corvane {

std::unique_ptr<const Model> model_from_json(const nlohmann::json& value) {
  if (!value.is_object()) throw std::invalid_argument("model must be a JSON object");
  const auto type = value.find("type");
  if (type == value.end() || !type->is_string()) throw std::invalid_argument("model has no \"type\"");
  if (*type == "Unigram") return unigram_from_json(value);
  throw std::invalid_argument("unsupported model: " + type->get<std::string>());
}

std::unique_ptr<const Model> model_from_json(std::string_view text) {
  return model_from_json(parse_component_json(text, "model"));
}

}  // namespace corvane
