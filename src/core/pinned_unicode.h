#pragma once

#include <cstdint>
#include <string>

namespace corvane::pinned_unicode {

// Character data for the HuggingFace-compatible normalizers, pinned to the Unicode versions
// the `tokenizers` library was built with, so that every normalizer changes exactly the
// characters it changes there:
//
//   - normalization forms and StripAccents' combining marks: Unicode 9.0 (the data of its
//     normalization crate);
//   - BertNormalizer's control characters (Cc, Cf, Co) and non-spacing marks (Mn): Unicode
//     8.0 (the data of its category crate);
//   - lowercase: the full lowercase mapping of the ICU library the engine links (Rust's
//     char::to_lowercase, for the Unicode version of that library).
//
// The data comes from ICU: the version pin keeps a code point's properties only when the
// code point was assigned in that version (Unicode's stability policies keep the
// normalization data of an assigned character unchanged since). A character whose general
// category changed after the pinned version has its current category.
//
// The few property sets and the lowercase table are built once, on first use (thread-safe).

// Canonical combining class (Unicode 9.0); 0 for a code point above U+10FFFF.
uint8_t combining_class(char32_t cp);

// Appends the full canonical (compat=false) or compatibility (compat=true) decomposition of
// `cp` (Unicode 9.0, Hangul syllables included) to `out`; appends `cp` itself when it has
// none.
void decompose(char32_t cp, bool compat, std::u32string& out);

// The primary composite of the pair (Unicode 9.0), or 0 when the pair does not compose.
char32_t compose(char32_t first, char32_t second);

// Mn, Mc or Me as of Unicode 9.0.
bool is_combining_mark(char32_t cp);

// Cc, Cf or Co as of Unicode 8.0.
bool is_control_format_or_private(char32_t cp);

// Mn as of Unicode 8.0.
bool is_nonspacing_mark(char32_t cp);

// Appends the full lowercase mapping of `cp` (one to three characters, without context:
// U+03A3 always gives U+03C3) to `out`.
void lowercase(char32_t cp, std::u32string& out);

// The Unicode version of the lowercase mapping, such as "15.0".
std::string lowercase_version();

}  // namespace corvane::pinned_unicode
