#include "decoders/decoder.h"

#include <utility>

namespace corvane {

std::string Decoder::decode(std::vector<std::string> tokens) const {
  std::vector<std::string> parts = decode_chain(std::move(tokens));
  if (parts.size() == 1) return std::move(parts[0]);
  std::size_t total = 0;
  for (const std::string& p : parts) total += p.size();
  std::string out;
  out.reserve(total);
  for (const std::string& p : parts) out += p;
  return out;
}

}  // namespace corvane
