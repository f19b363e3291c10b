#pragma once

#include <memory>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "pre_tokenizers/hf/pre_tokenizer.h"

namespace corvane::hf {

// The pre-tokenizer a tokenizer.json "pre_tokenizer" object describes, with the fields and
// defaults `tokenizers` reads: BertPreTokenizer, ByteLevel, CharDelimiterSplit, Digits,
// Metaspace, Punctuation, Sequence, Split, Whitespace, WhitespaceSplit.
//
// Anything else fails with std::invalid_argument naming it:
//   "unsupported pre_tokenizer: <type>"                       an unknown type;
//   "unsupported pre_tokenizer option: <type>.<field>"        a field the type does not have;
//   "pre_tokenizer must be an object with a string \"type\""  no type at all;
//   "pre_tokenizer <type>: <what is wrong>"                   a missing field, a value of the
//                                                              wrong kind, a bad pattern.
std::unique_ptr<const PreTokenizer> pre_tokenizer_from_json(const nlohmann::json& j);

// The same from JSON text; malformed JSON fails with std::invalid_argument
// "pre_tokenizer is not valid JSON: <parser message>".
std::unique_ptr<const PreTokenizer> pre_tokenizer_from_json_text(std::string_view text);

}  // namespace corvane::hf
