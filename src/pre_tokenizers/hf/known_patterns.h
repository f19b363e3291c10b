#pragma once

#include <string_view>
#include <vector>

#include "pre_tokenizers/hf/pre_tokenized_text.h"

namespace corvane::hf {

// Split patterns of tokenizer.json files in wide use, scanned by hand instead of by the
// regex engine, with exactly the matches Oniguruma finds for them in `tokenizers`
// (leftmost-first at each start, the search going on where a match ended; Unicode 16.0
// letter and number classes, \s as White_Space). A search per match through the engine
// costs more than the whole rest of a pipeline on such text; a scanner reads each character
// once or twice and runs in linear time on any text.
//
// A scanner appends the segments of `text` (not empty, well-formed UTF-8): each match, and
// each stretch between matches as a non-match.
using PatternScanner = void (*)(std::string_view text, std::vector<Segment>& out);

// The scanner of `pattern` (as written in the file) when it is one of these, else null:
//   Llama 3: (?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}|
//            ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+
//   Qwen 2:  the same with \p{N} in place of \p{N}{1,3}
//   CLIP:    <\|startoftext\|>|<\|endoftext\|>|'s|'t|'re|'ve|'m|'ll|'d|[\p{L}]+|[\p{N}]|
//            [^\s\p{L}\p{N}]+
PatternScanner known_pattern_scanner(std::string_view pattern);

}  // namespace corvane::hf
