#include "models/bpe/bpe_tokenizer.h"

#include <algorithm>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "core/file_bytes.h"
#include "formats/state_reader.h"
#include "formats/state_writer.h"
#include "formats/tokenizer_json_reader.h"
#include "core/utf8.h"

namespace corvane {

BPETokenizer::BPETokenizer(BPETokenizer&& other) noexcept
    : vocab_(std::move(other.vocab_)),
      merges_(std::move(other.merges_)),
      rule_(other.rule_),
      byte_ids_(other.byte_ids_) {
  other.vocab_ = Vocabulary();
  other.merges_ = MergeTable();
  other.rule_ = PairRule::kJoinedToken;
  other.byte_ids_.fill(0);
}

BPETokenizer& BPETokenizer::operator=(BPETokenizer&& other) noexcept {
  if (this != &other) {
    vocab_ = std::move(other.vocab_);
    merges_ = std::move(other.merges_);
    rule_ = other.rule_;
    byte_ids_ = other.byte_ids_;
    other.vocab_ = Vocabulary();
    other.merges_ = MergeTable();
    other.rule_ = PairRule::kJoinedToken;
    other.byte_ids_.fill(0);
  }
  return *this;
}

BPETokenizer BPETokenizer::from_tiktoken_file(const std::string& path) {
  BPETokenizer t;
  t.load_tiktoken(path);
  return t;
}

BPETokenizer BPETokenizer::from_hf_json(const std::string& path) {
  BPETokenizer t;
  t.load_hf_json(path);
  return t;
}

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Decimal rank as std::stoi reads it: leading whitespace, an optional sign, digits up to
// the first non-digit; nothing after them is looked at.
int32_t parse_rank(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && is_space(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  const std::size_t first_digit = i;
  int64_t value = 0;
  bool overflow = false;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    if (!overflow) {
      value = value * 10 + (s[i] - '0');
      if (value > 2147483648LL) overflow = true;
    }
  }
  if (i == first_digit) throw std::invalid_argument("stoi");
  if (negative) value = -value;
  if (overflow || value > 2147483647LL || value < -2147483648LL) throw std::out_of_range("stoi");
  return static_cast<int32_t>(value);
}

struct Base64Table {
  int8_t v[256];
  Base64Table() {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 256; ++i) v[i] = -1;
    for (std::size_t i = 0; i < alphabet.size(); ++i) v[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
  }
};

}  // namespace

// Standard base64 with lenient termination: decoding stops at the first byte outside the
// alphabet (padding included) and leftover bits are dropped. Never fails.
std::size_t BPETokenizer::base64_decode(std::string_view s, std::string& out) {
  static const Base64Table table;
  out.clear();
  uint32_t acc = 0;
  int bits = 0;
  for (unsigned char c : s) {
    const int v = table.v[c];
    if (v < 0) break;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  return out.size();
}

void BPETokenizer::load_tiktoken(const std::string& path) {
  std::string data;
  if (!FileBytes::read(path, data)) throw std::runtime_error("Cannot open tiktoken file: " + Utf8::repair(path));
  std::string token;
  std::string_view rest(data);
  while (!rest.empty()) {
    const std::size_t nl = rest.find('\n');
    const std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    const std::size_t sp = line.rfind(' ');
    if (line.empty() || sp == std::string_view::npos) continue;
    const int32_t rank = parse_rank(line.substr(sp + 1));
    base64_decode(line.substr(0, sp), token);
    vocab_.assign(token, rank);
  }
  if (vocab_.empty()) throw std::runtime_error("tiktoken file loaded but vocab is empty.");
  rule_ = PairRule::kJoinedToken;
  finish_load();
}

void BPETokenizer::load_hf_json(const std::string& path) {
  TokenizerJsonReader::read(
      path, [this](std::string_view token, int32_t id) { vocab_.assign(token, id); },
      [this](std::string_view left, std::string_view right, int32_t rank) {
        merges_.add(left, right, rank);
      });
  if (vocab_.empty()) throw std::runtime_error("tokenizer.json loaded but vocab is empty.");
  rule_ = PairRule::kMergeList;
  finish_load();
}

void BPETokenizer::finish_load() {
  vocab_.finish();
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const int32_t* id = vocab_.find(std::string_view(&c, 1));
    byte_ids_[static_cast<std::size_t>(b)] = id ? *id : 0;
  }
  if (rule_ == PairRule::kJoinedToken) {
    // A pre-token that is itself a vocabulary key is that one token.
    for (std::size_t e = 0; e < vocab_.size(); ++e) vocab_.set_mark(e, true);
    return;
  }
  merges_.finish(vocab_);
  PieceMerger::Workspace ws;
  const MergeListRanker ranker{merges_};
  for (std::size_t e = 0; e < vocab_.size(); ++e) {
    const std::string_view text = vocab_.text_at(e);
    std::size_t pieces = 0;
    PieceMerger::merge(text, ranker, ws, [&](int32_t) { ++pieces; });
    vocab_.set_mark(e, pieces == 1);
  }
}

std::vector<int32_t> BPETokenizer::encode(std::string_view text) const {
  std::vector<int32_t> ids;
  ids.reserve(text.size() / 2 + 16);  // enough for code, the densest common text
  encode_each(text, [&](int32_t id) { ids.push_back(id); });
  return ids;
}

std::size_t BPETokenizer::count(std::string_view text) const {
  std::size_t n = 0;
  encode_each(text, [&](int32_t) { ++n; });
  return n;
}

void BPETokenizer::encode_many(const std::string_view* texts, std::size_t n, std::vector<int32_t>& ids,
                               std::size_t* ends) const {
  auto push = [&](int32_t id) { ids.push_back(id); };
  Cancellation::Poller poll;
  if (!is_loaded()) {
    for (std::size_t i = 0; i < n; ++i) {
      naive_word_count(texts[i], push, poll);
      ends[i] = ids.size();
    }
    return;
  }
  CallState st;
  for (std::size_t i = 0; i < n; ++i) {
    pre_tokenise(texts[i], [&](std::string_view word, uint64_t hd) {
      bpe_word(word, hd, st, push);
      poll.tick(word.size());
    });
    ends[i] = ids.size();
  }
}

void BPETokenizer::count_many(const std::string_view* texts, std::size_t n, std::size_t* counts) const {
  std::size_t c = 0;
  auto tally = [&](int32_t) { ++c; };
  CallState st;
  Cancellation::Poller poll;
  for (std::size_t i = 0; i < n; ++i) {
    c = 0;
    if (is_loaded()) {
      pre_tokenise(texts[i], [&](std::string_view word, uint64_t hd) {
        bpe_word(word, hd, st, tally);
        poll.tick(word.size());
      });
    } else {
      naive_word_count(texts[i], tally, poll);
    }
    counts[i] = c;
  }
}

std::string BPETokenizer::decode(const std::vector<int32_t>& ids) const {
  std::string out;
  std::string_view tok;
  for (int32_t id : ids) {
    if (vocab_.token_of(id, tok)) out.append(tok);
  }
  return out;
}

namespace {

constexpr std::string_view kStateMagic = "CVBP";
constexpr uint8_t kStateVersion = 1;

}  // namespace

// Layout after the header: the pair rule (one byte), the token table (Vocabulary::save),
// then the merge rules in rank order. Each rule is its rank (as a step from the previous
// rank) and its two parts. Nearly every rule joins into a vocabulary token, so a rule is
// usually written as that token's entry (as a step from the previous such entry: one byte
// for a merge list in vocabulary order) and the length of its left part; any other rule
// is written as its two texts. The marks and the byte table are rebuilt on restore.
std::string BPETokenizer::serialize() const {
  StateWriter w(kStateMagic, kStateVersion);
  w.u8(rule_ == PairRule::kJoinedToken ? 0 : 1);
  std::vector<uint32_t> saved_index;
  vocab_.save(w, &saved_index);
  struct Rule {
    int32_t rank;
    std::string_view left, right;
  };
  std::vector<Rule> rules;
  rules.reserve(merges_.size());
  merges_.for_each_rule([&](std::string_view left, std::string_view right, int32_t rank) {
    rules.push_back(Rule{rank, left, right});
  });
  std::sort(rules.begin(), rules.end(), [](const Rule& a, const Rule& b) {
    return std::tie(a.rank, a.left, a.right) < std::tie(b.rank, b.left, b.right);
  });
  w.varint(rules.size());
  int64_t prev_rank = -1, prev_entry = -1;
  std::string joined;
  for (const Rule& rule : rules) {
    w.next_i32(rule.rank, prev_rank);
    prev_rank = rule.rank;
    joined.assign(rule.left).append(rule.right);
    const int64_t found = vocab_.entry_of(joined);
    if (found >= 0) {
      const int64_t entry = saved_index[static_cast<std::size_t>(found)];
      const int64_t step = entry - prev_entry - 1;
      const uint64_t zigzag = (static_cast<uint64_t>(step) << 1) ^ static_cast<uint64_t>(step >> 63);
      w.varint(zigzag << 1);
      w.varint(rule.left.size());
      prev_entry = entry;
    } else {
      w.varint(1);
      w.bytes(rule.left);
      w.bytes(rule.right);
    }
  }
  return w.finish();
}

BPETokenizer BPETokenizer::deserialize(std::string_view state) {
  StateReader r(state, kStateMagic, kStateVersion, "BPETokenizer");
  BPETokenizer t;
  const uint8_t rule = r.u8();
  if (rule > 1) r.fail("unknown pair rule");
  t.rule_ = rule == 0 ? PairRule::kJoinedToken : PairRule::kMergeList;
  t.vocab_.restore(r);
  const std::size_t n = t.vocab_.size();
  const std::size_t m = r.count(2);  // a rank byte and a tag byte at least
  if (m > 0 && t.rule_ != PairRule::kMergeList) r.fail("merge rules without a merge list");
  int64_t prev_rank = -1, prev_entry = -1;
  for (std::size_t k = 0; k < m; ++k) {
    const int32_t rank = r.next_i32(prev_rank);
    prev_rank = rank;
    const uint64_t tag = r.varint();
    if (tag & 1) {
      if (tag != 1) r.fail("unknown rule form");
      const std::string_view left = r.bytes();
      const std::string_view right = r.bytes();
      t.merges_.add(left, right, rank);
      continue;
    }
    const uint64_t zigzag = tag >> 1;
    const int64_t step = static_cast<int64_t>(zigzag >> 1) ^ -static_cast<int64_t>(zigzag & 1);
    if (step < -prev_entry - 1 || step >= static_cast<int64_t>(n) - prev_entry - 1) {
      r.fail("entry out of range");
    }
    const int64_t entry = prev_entry + 1 + step;
    prev_entry = entry;
    const std::string_view joined = t.vocab_.text_at(static_cast<std::size_t>(entry));
    const uint64_t left = r.varint();
    if (left > joined.size()) r.fail("split beyond the token");
    t.merges_.add(joined.substr(0, left), joined.substr(left), rank);
  }
  r.expect_end();
  if (n == 0) {
    // The empty tokenizer: nothing else may come with it.
    if (t.rule_ != PairRule::kJoinedToken || m > 0) r.fail("tables without a vocabulary");
    return t;
  }
  t.finish_load();
  return t;
}

}  // namespace corvane
