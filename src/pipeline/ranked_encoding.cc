#include "pipeline/ranked_encoding.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "core/utf8.h"
#include "formats/state_reader.h"
#include "formats/state_writer.h"

namespace corvane {

RankedEncoding::RankedEncoding(RankedBpeModel model, SpecialTokens specials, PreTokenizer pre)
    : pre_(std::move(pre)), model_(std::move(model)), specials_(std::move(specials)) {
  max_id_ = model_.max_rank();
  for (std::size_t i = 0; i < specials_.size(); ++i) max_id_ = std::max<int64_t>(max_id_, specials_.id(i));
}

std::vector<int32_t> RankedEncoding::encode(std::string_view text, const TokenSet* allowed) const {
  std::vector<int32_t> ids;
  ids.reserve(text.size() / 3 + 16);
  Scratch st;
  encode_each(text, allowed, st, [&](int32_t id) { ids.push_back(id); });
  return ids;
}

std::size_t RankedEncoding::count(std::string_view text, const TokenSet* allowed) const {
  std::size_t n = 0;
  Scratch st;
  encode_each(text, allowed, st, [&](int32_t) { ++n; });
  return n;
}

void RankedEncoding::encode_many(const std::string_view* texts, std::size_t n, const TokenSet* allowed,
                                 std::vector<int32_t>& ids, std::size_t* ends) const {
  Scratch st;
  auto push = [&](int32_t id) { ids.push_back(id); };
  for (std::size_t i = 0; i < n; ++i) {
    encode_each(texts[i], allowed, st, push);
    ends[i] = ids.size();
  }
}

void RankedEncoding::count_many(const std::string_view* texts, std::size_t n, const TokenSet* allowed,
                                std::size_t* counts) const {
  Scratch st;
  std::size_t c = 0;
  auto tally = [&](int32_t) { ++c; };
  for (std::size_t i = 0; i < n; ++i) {
    c = 0;
    encode_each(texts[i], allowed, st, tally);
    counts[i] = c;
  }
}

bool RankedEncoding::all_blank(int32_t id) const {
  std::string_view bytes;
  if (!model_.token_bytes(id, bytes)) return false;
  for (char c : bytes) {
    if (c != ' ' && c != '\n' && c != '\t') return false;
  }
  return true;
}

namespace {

// Length of the longest well-formed UTF-8 prefix of `data`.
std::size_t valid_utf8_prefix(std::string_view data) {
  const auto* s = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t n = data.size();
  std::size_t i = 0;
  while (i < n) {
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    const std::size_t len = Utf8::char_length(s + i, n - i);
    if (len == 0) break;
    i += len;
  }
  return i;
}

}  // namespace

std::vector<int32_t> RankedEncoding::encode_bytes(std::string_view data) const {
  const std::size_t valid = valid_utf8_prefix(data);
  if (valid == data.size()) return encode(data, nullptr);
  const std::string_view text = data.substr(0, valid);
  std::vector<int32_t> ids;
  ids.reserve(data.size() / 3 + 16);
  Scratch st;
  st.prepare(text.size());
  std::size_t last = 0;  // ids of the last pre-token
  const char* const end = text.data() + text.size();
  Cancellation::Poller poll;
  pre_.split(text, [&](std::string_view word) {
    poll.tick(word.size());
    const std::size_t before = ids.size();
    model_.encode_word(word, end, st, [&](int32_t id) { ids.push_back(id); });
    last = ids.size() - before;
  });
  // Blank tokens before the last pre-token may merge with what follows: take them too.
  if (last > 0 && all_blank(ids[ids.size() - last])) {
    while (last < ids.size() && all_blank(ids[ids.size() - last - 1])) ++last;
  }
  std::string unstable;
  if (!ids.empty() && last > 0) {
    int64_t bad = 0;
    decode(ids.data() + (ids.size() - last), last, unstable, bad);
    ids.resize(ids.size() - last);
  }
  unstable.append(data.substr(valid));
  model_.encode_piece(unstable, st.ws, [&](int32_t id) { ids.push_back(id); });
  return ids;
}

std::vector<int32_t> RankedEncoding::encode_single_piece(std::string_view piece) const {
  std::vector<int32_t> ids;
  PieceMerger::Workspace ws;
  model_.encode_piece(piece, ws, [&](int32_t id) { ids.push_back(id); });
  return ids;
}

bool RankedEncoding::token_bytes(int64_t id, std::string_view& out) const {
  if (id < 0 || id > std::numeric_limits<int32_t>::max()) return false;
  const int32_t i = static_cast<int32_t>(id);
  return model_.token_bytes(i, out) || specials_.token_of(i, out);
}

std::vector<std::pair<std::size_t, std::size_t>> RankedEncoding::split(std::string_view text) const {
  std::vector<std::pair<std::size_t, std::size_t>> out;
  Cancellation::Poller poll;
  pre_.split(text, [&](std::string_view piece) {
    poll.tick(piece.size());
    const std::size_t b = static_cast<std::size_t>(piece.data() - text.data());
    out.emplace_back(b, b + piece.size());
  });
  return out;
}

namespace {

// Length of a trailing incomplete character: the last 1 to 3 bytes of `data` when they
// begin a well-formed character that the data cuts short, else 0.
std::size_t partial_char_tail(std::string_view data) {
  const auto* s = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t n = data.size();
  for (std::size_t k = 1; k <= 3 && k <= n; ++k) {
    const unsigned char c = s[n - k];
    if (c >= 0x80 && c <= 0xBF) continue;  // a continuation byte: look further back
    if (c < 0xC2 || c > 0xF4) return 0;
    const std::size_t need = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (k >= need) return 0;
    // Complete it with continuation bytes of each range; if one completion is well
    // formed, the tail is the start of a character.
    for (unsigned char fill : {0x80, 0x90, 0xA0, 0xBF}) {
      unsigned char buf[4];
      for (std::size_t i = 0; i < 4; ++i) buf[i] = i < k ? s[n - k + i] : fill;
      if (Utf8::char_length(buf, need) == need) return k;
    }
    return 0;
  }
  return 0;
}

}  // namespace

// The cut is the start of the pre-token before the last one of `data` (leaving out a
// character that the end of `data` cuts short): the last pre-token may grow with the bytes
// that follow, and so may the one before it, into the last (an apostrophe before "l" is
// its own pre-token until a second "l" makes "'ll"; a run of blanks before a line break
// joins the break), so both go to the next block whole. It is taken only if pre-tokenising the two sides on their own
// gives exactly the pre-tokens they had within `data`: the bytes before the cut end with
// the same pre-tokens (no pattern rule that looks at the end of the text, such as `\s++$`
// or `\s+(?!\S)`, splits them otherwise), and the pre-token after the cut stays one piece.
// Otherwise the start of the pre-token before is tried, and so on a few times. A pattern
// matches the same at a position whatever text came before it (the public patterns do;
// for any other pattern the whole part before the cut is checked again). 0 when no cut is
// found, e.g. when `data` is a single pre-token.
std::size_t RankedEncoding::safe_cut(std::string_view data) const {
  const std::size_t end = data.size() - partial_char_tail(data);
  const std::string_view body = data.substr(0, end);
  std::vector<std::size_t> starts;  // pre-token starts in body, then body's end
  pre_.split(body, [&](std::string_view piece) {
    starts.push_back(static_cast<std::size_t>(piece.data() - body.data()));
  });
  starts.push_back(end);
  const bool local = pre_.kind() != PreTokenizer::Kind::kRegex;
  constexpr std::size_t kAttempts = 4;   // cut candidates, from the last pre-token back
  constexpr std::size_t kContext = 8;    // pre-tokens before a cut that are checked again
  const std::size_t pieces = starts.size() - 1;
  for (std::size_t a = 1; a <= kAttempts && a < pieces; ++a) {
    const std::size_t j = pieces - 1 - a;  // the pre-token that begins the next block
    if (j == 0) break;
    const std::size_t p = starts[j];
    // Before the cut: re-split from a few pre-tokens back (or from the start).
    const std::size_t from = local && j > kContext ? j - kContext : 0;
    std::size_t k = from;
    bool same = true;
    pre_.split(body.substr(starts[from], p - starts[from]), [&](std::string_view piece) {
      const std::size_t b = starts[from] + static_cast<std::size_t>(piece.data() - (body.data() + starts[from]));
      if (k >= j || starts[k] != b || starts[k + 1] != b + piece.size()) same = false;
      ++k;
    });
    if (!same || k != j) continue;
    // After the cut: the rest of the body on its own gives the same pre-tokens.
    k = j;
    pre_.split(body.substr(p), [&](std::string_view piece) {
      const std::size_t b = p + static_cast<std::size_t>(piece.data() - (body.data() + p));
      if (k >= pieces || starts[k] != b || starts[k + 1] != b + piece.size()) same = false;
      ++k;
    });
    if (same && k == pieces) return p;
  }
  return 0;
}

namespace {

constexpr std::string_view kStateMagic = "CVCB";
constexpr uint8_t kStateVersion = 1;

}  // namespace

// Layout after the header: the pattern, the ranked tokens (RankedBpeModel::save), then the
// special tokens as (text, id) pairs in the order they were given.
std::string RankedEncoding::save() const {
  StateWriter w(kStateMagic, kStateVersion);
  w.bytes(pre_.pattern());
  model_.save(w);
  w.varint(specials_.size());
  for (std::size_t i = 0; i < specials_.size(); ++i) {
    w.bytes(specials_.text(i));
    w.svarint(specials_.id(i));
  }
  return w.finish();
}

RankedEncoding RankedEncoding::restore(std::string_view state) {
  StateReader r(state, kStateMagic, kStateVersion, "CoreBPE", "state");
  const std::string_view pattern = r.bytes();
  RankedBpeModel model;
  model.restore(r);
  SpecialTokens specials;
  const std::size_t m = r.count(2);
  for (std::size_t i = 0; i < m; ++i) {
    const std::string_view text = r.bytes();
    const int64_t id = r.svarint();
    if (id < 0 || id > std::numeric_limits<int32_t>::max()) r.fail("special token id out of range");
    if (text.empty() || specials.index_of(text) >= 0) r.fail("bad special token");
    specials.add(text, static_cast<int32_t>(id));
  }
  r.expect_end();
  specials.finish();
  try {
    return RankedEncoding(std::move(model), std::move(specials), PreTokenizer::from_pattern(pattern));
  } catch (const std::invalid_argument&) {
    r.fail("the pattern does not compile");
  }
}

}  // namespace corvane
