#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

// The bulk of a tokenizer.json: the model's "vocab" ({token: id}, or a Unigram model's list
// of [piece, score]) and "merges" list,
// read straight into flat tables instead of the JSON tree (whose objects are sorted maps:
// building one of 50,000 tokens costs more than the rest of the load together).
struct ModelTables {
  // {token: id} in document order; set only when every token is distinct, every id a
  // distinct 32-bit unsigned integer, and the ids dense enough for a table.
  std::optional<std::vector<std::pair<std::string, uint32_t>>> vocab;
  // The merges, when all are "left right" strings (merge_strings) or all are [left, right]
  // pairs of strings (merge_pairs).
  std::optional<std::vector<std::string>> merge_strings;
  std::optional<std::vector<std::pair<std::string, std::string>>> merge_pairs;
  // A Unigram model's "vocab": its [piece, score] pairs in order, each score the JSON number
  // as written; set only in a model whose "type" is "Unigram".
  std::optional<std::vector<std::pair<std::string, nlohmann::json>>> unigram_vocab;
};

// A parsed document: the JSON tree, in which the model's vocab and merges, when they were
// read into `tables`, are left as an empty object and an empty list.
struct TokenizerDocument {
  nlohmann::json tree;
  ModelTables tables;
};

// Parses tokenizer.json text. A vocab or merges value of any other shape than the ones
// ModelTables holds (or a document that repeats one) stays in the tree as it is, so that
// the readers of the tree see and report it. Throws nlohmann::json::parse_error exactly as
// nlohmann::json::parse does on text that is not JSON.
TokenizerDocument parse_tokenizer_document(std::string_view text);

}  // namespace corvane
