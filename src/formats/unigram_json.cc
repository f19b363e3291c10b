#include "formats/unigram_json.h"

#include <array>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "formats/component_json.h"
#include "models/unigram/unigram_model.h"

namespace corvane {

using json = nlohmann::json;

namespace {

// A score as the peer reads it. Its JSON reader does not round a decimal number correctly:
// it takes the digits as an integer, converts that to the nearest double, then multiplies
// or divides by the (double) power of ten of the exponent, which is a unit in the last place
// off for about one score in eight. Ties between segmentations are decided by those last
// bits, so the scores here are the peer's: the document's number is taken as the shortest
// decimal that reads back as its double (what every JSON writer of these files writes),
// then converted the peer's way.
double peer_score(const json& v) {
  if (!v.is_number_float()) return v.get<double>();  // integers convert exactly as the peer's
  const double d = v.get<double>();
  if (d == 0.0 || !std::isfinite(d)) return d;
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(d));
  uint64_t significand = 0;
  int exponent = 0;
  bool fraction = false, overflow = false;
  const char* p = buf;
  for (; p < r.ptr && *p != 'e'; ++p) {
    if (*p == '.') {
      fraction = true;
      continue;
    }
    const auto digit = static_cast<uint64_t>(*p - '0');
    if (significand > (UINT64_MAX - digit) / 10) {
      overflow = true;  // the peer ignores digits past 19 (never met: at most 17 here)
      if (!fraction) ++exponent;
      continue;
    }
    significand = significand * 10 + digit;
    if (fraction) --exponent;
  }
  if (overflow) return d;
  if (p < r.ptr) {
    int e = 0;
    std::from_chars(p + 1 + (p[1] == '+'), r.ptr, e);
    exponent += e;
  }
  static const std::array<double, 309> kPow10 = [] {
    std::array<double, 309> t{};
    char text[8];
    for (int i = 0; i < 309; ++i) {
      const auto n = std::to_chars(text, text + sizeof text, i);
      std::string lit = "1e" + std::string(text, n.ptr);
      std::from_chars(lit.data(), lit.data() + lit.size(), t[static_cast<std::size_t>(i)]);
    }
    return t;
  }();
  double f = static_cast<double>(significand);
  for (;;) {
    const int a = exponent < 0 ? -exponent : exponent;
    if (a < 309) {
      if (exponent >= 0) {
        f *= kPow10[static_cast<std::size_t>(a)];
      } else {
        f /= kPow10[static_cast<std::size_t>(a)];
      }
      break;
    }
    if (f == 0.0 || exponent >= 0) break;
    f /= 1e308;
    exponent += 308;
  }
  return d < 0 ? -f : f;
}

}  // namespace

std::unique_ptr<const Model> unigram_from_json(const json& model, const ModelTables* tables) {
  const ComponentJson c(model, "model", "");
  if (c.type() != "Unigram") c.fail("not a Unigram model");
  c.allow_only({"vocab", "unk_id", "byte_fallback"});
  if (!c.has("vocab")) c.fail("Missing vocab");
  const json& v = c.get("vocab");
  if (!v.is_array()) c.fail("field \"vocab\" must be a list of [piece, score] pairs");
  std::vector<std::pair<std::string, double>> vocab;
  auto add = [&](std::size_t i, std::string piece, const json& number) {
    const double score = peer_score(number);
    if (!std::isfinite(score)) c.fail("vocab entry " + std::to_string(i) + " has a score that is not finite");
    vocab.emplace_back(std::move(piece), score);
  };
  if (tables != nullptr && tables->unigram_vocab) {
    // Read apart from the tree: every entry is a string and a number.
    const auto& entries = *tables->unigram_vocab;
    vocab.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) add(i, entries[i].first, entries[i].second);
  } else {
    vocab.reserve(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
      const json& e = v[i];
      if (!e.is_array() || e.size() != 2 || !e[0].is_string() || !e[1].is_number()) {
        c.fail("vocab entry " + std::to_string(i) + " must be a [piece, score] pair");
      }
      add(i, e[0].get<std::string>(), e[1]);
    }
  }
  std::optional<std::size_t> unk_id;
  if (c.has("unk_id") && !c.get("unk_id").is_null()) {
    unk_id = static_cast<std::size_t>(c.as_unsigned(c.get("unk_id"), "field \"unk_id\"", UINT32_MAX));
  }
  const bool byte_fallback = c.has("byte_fallback") ? c.boolean("byte_fallback") : false;
  try {
    return std::make_unique<UnigramModel>(std::move(vocab), unk_id, byte_fallback);
  } catch (const std::invalid_argument& e) {
    c.fail(e.what());
  }
}

}  // namespace corvane
