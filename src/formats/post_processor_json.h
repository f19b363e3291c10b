#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string_view>

#include "post_processors/post_processor.h"

namespace corvane {

// Builds a post-processor from its tokenizer.json object ("post_processor"), as the peer
// reads it:
//   TemplateProcessing  single, pair (lists of {"Sequence": {"id": "A"|"B", "type_id": n}}
//                       and {"SpecialToken": {"id": name, "type_id": n}}), special_tokens
//                       (name -> {"id": name, "ids": [...], "tokens": [...]})
//   BertProcessing      sep, cls ([token, id] each)
//   RobertaProcessing   sep, cls, trim_offsets, add_prefix_space
//   ByteLevel           add_prefix_space, trim_offsets, use_regex (optional; unused here)
//   Sequence            processors (a list of post-processor objects)
// An unknown type, a missing or mistyped field, a field the type does not have, a
// template naming a special token that special_tokens lacks, a special token whose ids and
// tokens differ in number, or a single template that uses sequence B throws
// std::invalid_argument naming the post-processor.
std::unique_ptr<const PostProcessor> post_processor_from_json(const nlohmann::json& value);
// The same from JSON text.
std::unique_ptr<const PostProcessor> post_processor_from_json(std::string_view text);

}  // namespace corvane
