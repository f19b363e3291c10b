#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/encoding_record.h"

namespace corvane {

// A special token that a post-processor inserts: one or more ids with their token texts
// (the two lists have the same length).
struct SpecialToken {
  std::vector<uint32_t> ids;
  std::vector<std::string> tokens;

  // A record of these tokens alone: type id `type_id`, no word, offsets (0, 0), marked
  // special, attended to.
  EncodingRecord record(uint32_t type_id) const;
};

}  // namespace corvane
