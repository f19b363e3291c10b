#pragma once

#include <string>
#include <string_view>

namespace corvane::hf {

// An Oniguruma pattern with its Unicode classes written out as code-point ranges of our
// Unicode 16.0 tables, the Unicode version of the Oniguruma that `tokenizers` bundles (the
// system library may know an older one):
//   \p{..} / \P{..} / \p{^..} with a general category, by short or long name (Oniguruma's
//   loose matching: any case, spaces, hyphens and underscores ignored), and Any, Assigned;
//   \d / \D (Nd) and \w / \W (Alphabetic, marks, Nd, Pc; below U+0100 Oniguruma's own table).
// Inside a bracket class the ranges join the class; outside they form a class of their own.
// Everything else (scripts, binary properties, POSIX brackets, \s, \b, case folding) is
// left to the engine. Escapes are copied whole, so an escaped bracket never opens a class.
std::string pin_unicode_classes(std::string_view pattern);

}  // namespace corvane::hf
