#pragma once

#include <cstddef>
#include <string_view>

namespace corvane {

// Extended grapheme clusters (Unicode Standard Annex #29), as Rust's unicode-segmentation
// finds them for HuggingFace's Precompiled normalizer. The Grapheme_Cluster_Break and
// Extended_Pictographic properties come from the ICU library the engine links; the rule for
// Indic conjuncts (GB9c) is left out, which changes no cluster that normalizer treats
// differently (it only joins three-byte letters into clusters of six bytes or more).
class GraphemeClusters {
 public:
  // The end of the cluster that starts at byte `begin` of `text` (well-formed UTF-8,
  // begin < text.size()).
  static std::size_t next_boundary(std::string_view text, std::size_t begin);
};

}  // namespace corvane
