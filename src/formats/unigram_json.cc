#include "formats/unigram_json.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "formats/component_json.h"
#include "models/unigram/unigram_model.h"

namespace corvane {

using json = nlohmann::json;

std::unique_ptr<const Model> unigram_from_json(const json& model) {
  const ComponentJson c(model, "model", "");
  if (c.type() != "Unigram") c.fail("not a Unigram model");
  c.allow_only({"vocab", "unk_id", "byte_fallback"});
  if (!c.has("vocab")) c.fail("Missing vocab");
  const json& v = c.get("vocab");
  if (!v.is_array()) c.fail("field \"vocab\" must be a list of [piece, score] pairs");
  std::vector<std::pair<std::string, double>> vocab;
  vocab.reserve(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    const json& e = v[i];
    if (!e.is_array() || e.size() != 2 || !e[0].is_string() || !e[1].is_number()) {
      c.fail("vocab entry " + std::to_string(i) + " must be a [piece, score] pair");
    }
    const double score = e[1].get<double>();
    if (!std::isfinite(score)) c.fail("vocab entry " + std::to_string(i) + " has a score that is not finite");
    vocab.emplace_back(e[0].get<std::string>(), score);
  }
  std::optional<std::size_t> unk_id;
  if (c.has("unk_id") && !c.get("unk_id").is_null()) {
    unk_id = static_cast<std::size_t>(c.as_unsigned(c.get("unk_id"), "field \"unk_id\"", UINT32_MAX));
  }
  const bool byte_fallback = c.has("byte_fallback") ? c.boolean("byte_fallback") : false;
  try {
    return std::make_unique<UnigramModel>(std::move(vocab), unk_id, byte_fallback);
  } catch (const std::invalid_argument& e) {
    c.fail(e.what());
  }
}

}  // namespace corvane
