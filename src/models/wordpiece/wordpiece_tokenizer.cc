#include "models/wordpiece/wordpiece_tokenizer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "core/cancellation.h"
#include "core/file_bytes.h"
#include "formats/state_reader.h"
#include "formats/state_writer.h"
#include "core/utf8.h"

namespace corvane {

namespace {

inline bool is_space(unsigned char c) { return c == ' ' || static_cast<unsigned>(c - '\t') < 5u; }

}  // namespace

WordPieceTokenizer::WordPieceTokenizer(const std::string& vocab_txt_path)
    : WordPieceTokenizer(load_vocab(vocab_txt_path)) {}

WordPieceTokenizer::WordPieceTokenizer(Vocabulary vocab) : model_(WordPieceModel::for_vocab_txt(std::move(vocab))) {}

// One token per line, lines ended by line feeds only, the id being the line's position.
// Nothing is trimmed; an empty line defines no token but uses up its id; when a text is
// repeated, the last line wins the text -> id direction while every id keeps its text.
Vocabulary WordPieceTokenizer::load_vocab(const std::string& path) {
  Vocabulary vocab;
  std::string data;
  // Messages quote the path readably even when its bytes are not UTF-8.
  if (!FileBytes::read(path, data)) {
    throw std::runtime_error("Cannot open vocab.txt: " + Utf8::repair(path));
  }
  // One token per line at most: size the table once instead of growing it.
  vocab.reserve(static_cast<std::size_t>(std::count(data.begin(), data.end(), '\n')) + 1);
  int64_t id = 0;
  const char* p = data.data();
  const char* const end = p + data.size();
  while (p < end) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* line_end = nl ? nl : end;
    if (id > std::numeric_limits<int32_t>::max()) {
      throw std::runtime_error("vocab.txt has more lines than 32-bit ids can number: " +
                               Utf8::repair(path));
    }
    if (line_end != p) {
      vocab.assign(std::string_view(p, static_cast<std::size_t>(line_end - p)),
                    static_cast<int32_t>(id));
    }
    ++id;
    p = nl ? nl + 1 : end;
  }
  if (vocab.empty()) throw std::runtime_error("vocab.txt is empty: " + Utf8::repair(path));
  vocab.finish();
  return vocab;
}

template <bool kCollect>
std::size_t WordPieceTokenizer::encode_text(std::string_view text, std::vector<int32_t>& ids) const {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  std::size_t total = 0;
  Cancellation::Poller poll;
  for (;;) {
    const unsigned char* const from = p;
    while (p < end && is_space(*p)) ++p;
    if (p == end) break;
    const unsigned char* word = p;
    while (p < end && !is_space(*p)) ++p;
    total += wordpiece_tokenize<kCollect>(word, static_cast<std::size_t>(p - word), ids);
    poll.tick(static_cast<std::size_t>(p - from));
  }
  return total;
}

std::vector<int32_t> WordPieceTokenizer::encode(std::string_view text) const {
  std::vector<int32_t> ids;
  ids.reserve(text.size() / 3 + 8);  // English runs near 4 bytes an id, CJK text near 3
  encode_text<true>(text, ids);
  return ids;
}

std::size_t WordPieceTokenizer::count(std::string_view text) const {
  std::vector<int32_t> unused;
  return encode_text<false>(text, unused);
}

void WordPieceTokenizer::encode_many(const std::string_view* texts, std::size_t n, std::vector<int32_t>& ids,
                                     std::size_t* ends) const {
  for (std::size_t i = 0; i < n; ++i) {
    encode_text<true>(texts[i], ids);
    ends[i] = ids.size();
  }
}

void WordPieceTokenizer::count_many(const std::string_view* texts, std::size_t n, std::size_t* counts) const {
  std::vector<int32_t> unused;
  for (std::size_t i = 0; i < n; ++i) counts[i] = encode_text<false>(texts[i], unused);
}

// Continuation tokens ("##" and at least one more byte) are glued to what precedes them
// without the "##"; every other token is preceded by one blank. The one blank at the very
// start is then removed. Ids without a token text are skipped.
std::string WordPieceTokenizer::decode(const std::vector<int32_t>& ids) const {
  auto is_continuation = [](std::string_view tok) {
    return tok.size() > 2 && tok[0] == '#' && tok[1] == '#';
  };
  const Vocabulary& vocab = model_.vocabulary();
  std::string_view tok;
  std::size_t size = 0;
  for (int32_t id : ids) {
    if (vocab.token_of(id, tok)) size += is_continuation(tok) ? tok.size() - 2 : tok.size() + 1;
  }
  std::string out;
  out.reserve(size);
  for (int32_t id : ids) {
    if (!vocab.token_of(id, tok)) continue;
    if (is_continuation(tok)) {
      out.append(tok.data() + 2, tok.size() - 2);
    } else {
      out.push_back(' ');
      out.append(tok);
    }
  }
  if (!out.empty() && out.front() == ' ') out.erase(0, 1);
  return out;
}

namespace {

constexpr std::string_view kStateMagic = "CVWP";
constexpr uint8_t kStateVersion = 1;

}  // namespace

std::string WordPieceTokenizer::serialize() const {
  StateWriter w(kStateMagic, kStateVersion);
  model_.vocabulary().save(w);
  return w.finish();
}

WordPieceTokenizer WordPieceTokenizer::deserialize(std::string_view state) {
  StateReader r(state, kStateMagic, kStateVersion, "WordPieceTokenizer");
  Vocabulary vocab;
  vocab.restore(r);
  r.expect_end();
  if (vocab.empty()) r.fail("empty vocabulary");
  vocab.finish();
  return WordPieceTokenizer(std::move(vocab));
}

}  // namespace corvane
