#pragma once

#include <string>
#include <vector>

namespace corvane {

// One step of turning the token strings of an encoding back into text.
//
// A decoder maps a list of token strings to a new list (`decode_chain`), so that steps can
// be chained: a Sequence hands each step's output to the next. `decode` runs the chain and
// joins what is left with nothing in between. Every step is a pure function of its input
// and its configuration: decoders are immutable after construction and may be shared by
// any number of threads.
//
// Token strings are UTF-8. A string that is not well-formed does no harm: each byte that
// begins no character is carried through as a character of its own that equals nothing.
class Decoder {
 public:
  virtual ~Decoder() = default;

  virtual std::vector<std::string> decode_chain(std::vector<std::string> tokens) const = 0;

  std::string decode(std::vector<std::string> tokens) const;
};

}  // namespace corvane
