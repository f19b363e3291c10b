#pragma once

#include <string_view>

namespace corvane::patterns {

// The pre-tokenisation patterns of tiktoken's public encodings, character for character as
// tiktoken declares them. A pattern equal to one of these runs on its hand-written scanner.

// gpt2, r50k_base, p50k_base, p50k_edit.
inline constexpr std::string_view kR50k =
    R"('(?:[sdmt]|ll|ve|re)| ?\p{L}++| ?\p{N}++| ?[^\s\p{L}\p{N}]++|\s++$|\s+(?!\S)|\s)";

// cl100k_base.
inline constexpr std::string_view kCl100k =
    R"('(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}++|\p{N}{1,3}+| ?[^\s\p{L}\p{N}]++[\r\n]*+|\s++$|\s*[\r\n]|\s+(?!\S)|\s)";

// o200k_base, o200k_harmony.
inline constexpr std::string_view kO200k =
    R"([^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+(?i:'s|'t|'re|'ve|'m|'ll|'d)?|)"
    R"([^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*(?i:'s|'t|'re|'ve|'m|'ll|'d)?|)"
    R"(\p{N}{1,3}|)"
    R"( ?[^\s\p{L}\p{N}]+[\r\n/]*|)"
    R"(\s*[\r\n]+|)"
    R"(\s+(?!\S)|)"
    R"(\s+)";

}  // namespace corvane::patterns
