#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "models/bpe/ranked_bpe_model.h"

namespace corvane {

// A tiktoken rank file, read with the checks of tiktoken's load_tiktoken_bpe: lines are
// separated by \n, \r or \r\n; empty lines are skipped; every other line is exactly two
// fields separated by ASCII whitespace, the token in base64 (decoded as Python's
// base64.b64decode does: bytes outside the alphabet are skipped, the padding is checked)
// and its rank as a Python int literal (sign, digits, single underscores between digits).
// Tokens come out in file order, repeats included (a dict built from them keeps the rank of
// a token's last line: RankedBpeModel::Repeats::kLastWins).
//
// A line that breaks these rules throws std::invalid_argument
// "Error parsing line b'...' in PATH: <reason>", the line written as Python writes bytes.
// A file that cannot be read throws std::system_error with the errno; a path holding a
// NUL byte throws std::invalid_argument "embedded null byte".
class RankFile {
 public:
  static RankedTokens read(const std::string& path);
  // The same for the contents of a file; `name` is what messages call the file.
  static RankedTokens parse(std::string_view contents, std::string_view name);

  // Python's repr() of a bytes object.
  static std::string bytes_repr(std::string_view bytes);
};

}  // namespace corvane
