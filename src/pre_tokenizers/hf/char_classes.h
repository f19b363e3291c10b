#pragma once

#include "core/unicode.h"

namespace corvane::hf {

// The character classes the HuggingFace pre-tokenizers split on, each as `tokenizers`
// decides it (its Rust standard library, its `regex` crate and its `unicode_categories`
// crate know different Unicode versions).

// Rust's char::is_whitespace: the White_Space property.
inline bool is_whitespace(char32_t cp) { return unicode::is_white_space(cp); }

// Rust's char::is_numeric: general category Nd, Nl or No, in the Unicode version of the
// Rust standard library (17.0: our 16.0 tables and the numbers 17.0 adds).
bool is_numeric(char32_t cp);

// The Punctuation and BertPreTokenizer class: ASCII punctuation (which includes the ASCII
// symbols $ + < = > ^ ` | ~) or a punctuation category (Pc Pd Ps Pe Pi Pf Po) as the
// `unicode_categories` crate has them (Unicode 8.0 data).
bool is_punctuation(char32_t cp);

// \w of the `regex` crate (Unicode 16.0): Alphabetic, marks, Nd, Pc and Join_Control.
bool is_word(char32_t cp);

}  // namespace corvane::hf
