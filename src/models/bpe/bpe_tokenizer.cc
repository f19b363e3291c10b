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

BPETokenizer BPETokenizer::from_tiktoken_file(const std::string& path) {
  std::string data;
  if (!FileBytes::read(path, data)) throw std::runtime_error("Cannot open tiktoken file: " + Utf8::repair(path));
  Vocabulary vocab;
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
    vocab.assign(token, rank);
  }
  BPETokenizer t;
  t.configure(std::move(vocab), std::nullopt, "tiktoken file loaded but vocab is empty.");
  return t;
}

BPETokenizer BPETokenizer::from_hf_json(const std::string& path) {
  Vocabulary vocab;
  MergeTable merges;
  TokenizerJsonReader::read(
      path, [&](std::string_view token, int32_t id) { vocab.assign(token, id); },
      [&](std::string_view left, std::string_view right, int32_t rank) { merges.add(left, right, rank); });
  BPETokenizer t;
  t.configure(std::move(vocab), std::move(merges), "tokenizer.json loaded but vocab is empty.");
  return t;
}

void BPETokenizer::configure(Vocabulary vocab, std::optional<MergeTable> merges, const char* empty_message) {
  if (vocab.empty()) throw std::runtime_error(empty_message);
  encoding_.emplace(RankedBpeModel::as_loaded(std::move(vocab), std::move(merges)), SpecialTokens(),
                    PreTokenizer::ascii_gpt2());
}

std::vector<int32_t> BPETokenizer::encode(std::string_view text) const {
  if (encoding_) return encoding_->encode(text, nullptr);
  std::vector<int32_t> ids;
  encode_each(text, [&](int32_t id) { ids.push_back(id); });
  return ids;
}

std::size_t BPETokenizer::count(std::string_view text) const {
  if (encoding_) return encoding_->count(text, nullptr);
  std::size_t n = 0;
  encode_each(text, [&](int32_t) { ++n; });
  return n;
}

void BPETokenizer::encode_many(const std::string_view* texts, std::size_t n, std::vector<int32_t>& ids,
                               std::size_t* ends) const {
  if (encoding_) {
    encoding_->encode_many(texts, n, nullptr, ids, ends);
    return;
  }
  auto push = [&](int32_t id) { ids.push_back(id); };
  Cancellation::Poller poll;
  for (std::size_t i = 0; i < n; ++i) {
    naive_word_count(texts[i], push, poll);
    ends[i] = ids.size();
  }
}

void BPETokenizer::count_many(const std::string_view* texts, std::size_t n, std::size_t* counts) const {
  if (encoding_) {
    encoding_->count_many(texts, n, nullptr, counts);
    return;
  }
  Cancellation::Poller poll;
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t c = 0;
    naive_word_count(texts[i], [&](int32_t) { ++c; }, poll);
    counts[i] = c;
  }
}

std::string BPETokenizer::decode(const std::vector<int32_t>& ids) const {
  std::string out;
  if (!encoding_) return out;
  std::string_view tok;
  for (int32_t id : ids) {
    if (encoding_->model().token_bytes(id, tok)) out.append(tok);
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
// is written as its two texts. What merging derives from them is rebuilt on restore.
std::string BPETokenizer::serialize() const {
  static const Vocabulary kNoTokens;
  static const MergeTable kNoRules;
  const bool merge_list = encoding_ && encoding_->model().has_merge_list();
  const Vocabulary& vocab = encoding_ ? encoding_->model().vocabulary() : kNoTokens;
  const MergeTable& merges = merge_list ? encoding_->model().merge_list() : kNoRules;
  StateWriter w(kStateMagic, kStateVersion);
  w.u8(merge_list ? 1 : 0);
  std::vector<uint32_t> saved_index;
  vocab.save(w, &saved_index);
  struct Rule {
    int32_t rank;
    std::string_view left, right;
  };
  std::vector<Rule> rules;
  rules.reserve(merges.size());
  merges.for_each_rule([&](std::string_view left, std::string_view right, int32_t rank) {
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
    const int64_t found = vocab.entry_of(joined);
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
  const uint8_t rule = r.u8();
  if (rule > 1) r.fail("unknown pair rule");
  const bool merge_list = rule == 1;
  Vocabulary vocab;
  MergeTable merges;
  vocab.restore(r);
  const std::size_t n = vocab.size();
  const std::size_t m = r.count(2);  // a rank byte and a tag byte at least
  if (m > 0 && !merge_list) r.fail("merge rules without a merge list");
  int64_t prev_rank = -1, prev_entry = -1;
  for (std::size_t k = 0; k < m; ++k) {
    const int32_t rank = r.next_i32(prev_rank);
    prev_rank = rank;
    const uint64_t tag = r.varint();
    if (tag & 1) {
      if (tag != 1) r.fail("unknown rule form");
      const std::string_view left = r.bytes();
      const std::string_view right = r.bytes();
      merges.add(left, right, rank);
      continue;
    }
    const uint64_t zigzag = tag >> 1;
    const int64_t step = static_cast<int64_t>(zigzag >> 1) ^ -static_cast<int64_t>(zigzag & 1);
    if (step < -prev_entry - 1 || step >= static_cast<int64_t>(n) - prev_entry - 1) {
      r.fail("entry out of range");
    }
    const int64_t entry = prev_entry + 1 + step;
    prev_entry = entry;
    const std::string_view joined = vocab.text_at(static_cast<std::size_t>(entry));
    const uint64_t left = r.varint();
    if (left > joined.size()) r.fail("split beyond the token");
    merges.add(joined.substr(0, left), joined.substr(left), rank);
  }
  r.expect_end();
  BPETokenizer t;
  if (n == 0) {
    // The empty tokenizer: nothing else may come with it.
    if (merge_list || m > 0) r.fail("tables without a vocabulary");
    return t;
  }
  t.configure(std::move(vocab), merge_list ? std::optional<MergeTable>(std::move(merges)) : std::nullopt, "");
  return t;
}

}  // namespace corvane
