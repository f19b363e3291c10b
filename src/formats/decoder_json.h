#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string_view>

#include "decoders/decoder.h"

namespace corvane {

// Builds a decoder from its tokenizer.json object ("decoder"), as the peer reads it:
//   ByteLevel     add_prefix_space, trim_offsets (required; used by the pre-tokeniser and
//                 post-processor of the same name), use_regex (optional)
//   WordPiece     prefix, cleanup
//   Metaspace     replacement; prepend_scheme ("always" by default, "first", "never");
//                 split (optional); add_prefix_space (optional: false requires the scheme
//                 "never"); str_rep (ignored, as by the peer)
//   BPEDecoder    suffix
//   ByteFallback, Fuse
//   Strip         content, start, stop
//   Replace       pattern ({"String": s} or {"Regex": r}), content
//   CTC           pad_token, word_delimiter_token, cleanup
//   Sequence      decoders (a list of decoder objects)
// An unknown type, a missing or mistyped field, or a field the type does not have throws
// std::invalid_argument naming the decoder (and its place inside a Sequence).
std::unique_ptr<const Decoder> decoder_from_json(const nlohmann::json& value);
// The same from JSON text.
std::unique_ptr<const Decoder> decoder_from_json(std::string_view text);

}  // namespace corvane
