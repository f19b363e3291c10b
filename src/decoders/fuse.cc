#include "decoders/fuse.h"

namespace corvane {

std::vector<std::string> FuseDecoder::decode_chain(std::vector<std::string> tokens) const {
  std::size_t total = 0;
  for (const std::string& t : tokens) total += t.size();
  std::string joined;
  joined.reserve(total);
  for (const std::string& t : tokens) joined += t;
  std::vector<std::string> out;
  out.push_back(std::move(joined));
  return out;
}

}  // namespace corvane
