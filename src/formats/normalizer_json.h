#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string_view>

#include "normalizers/normalizer.h"

namespace corvane {

// Builds a normalizer from its tokenizer.json object, such as {"type": "NFC"} or
// {"type": "Sequence", "normalizers": [...]}: BertNormalizer, NFC, NFD, NFKC, NFKD,
// Lowercase, Strip, StripAccents, Replace, Prepend, ByteLevel, Precompiled (its
// "precompiled_charsmap" in standard base64) and Sequence, with the
// options `tokenizers` writes for each (BertNormalizer's strip_accents may be missing or
// null; every other option is required).
//
// Anything else fails with std::invalid_argument and a message naming what it met:
//   "normalizer must be a JSON object with a string \"type\""
//   "unsupported normalizer: <type>"
//   "unsupported option of normalizer <type>: <name>"
//   "normalizer <type>: missing option <name>"
//   "normalizer <type>: option <name> must be <what>"
//   "normalizer Sequence nested too deeply (more than 100 levels)"
//   "Oniguruma error: <reason>" (a Replace regex that does not compile)
//   "normalizer Precompiled: option precompiled_charsmap is not valid base64"
//   "normalizer Precompiled: invalid precompiled_charsmap: <what is wrong>"
std::unique_ptr<Normalizer> normalizer_from_json(const nlohmann::json& object);

// The same from JSON text; text that is not one JSON value fails with
// std::invalid_argument "normalizer JSON parse error: <reason>".
std::unique_ptr<Normalizer> normalizer_from_json_text(std::string_view text);

}  // namespace corvane
