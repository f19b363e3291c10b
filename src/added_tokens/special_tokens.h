#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace corvane {

// The special tokens of an encoding (text -> id), and a matcher that finds them in text.
//
// The matcher is built once: a byte trie of the token texts plus a table of the bytes a
// token can start with. A search skips to the next such byte, then walks the trie from
// there. Which tokens count is chosen per call by a TokenSet (one bit per token), so a
// call never builds anything from the token texts.
//
// Built once (add ... finish), then only read.
class SpecialTokens {
 public:
  // One bit per special token, by index (0 to size() - 1).
  class TokenSet {
   public:
    TokenSet() = default;
    explicit TokenSet(std::size_t n) : bits_((n + 63) / 64, 0) {}
    void set(std::size_t i) {
      if (!(bits_[i >> 6] >> (i & 63) & 1)) ++count_;
      bits_[i >> 6] |= uint64_t{1} << (i & 63);
    }
    bool has(std::size_t i) const { return bits_[i >> 6] >> (i & 63) & 1; }
    bool empty() const { return count_ == 0; }

   private:
    std::vector<uint64_t> bits_;
    std::size_t count_ = 0;
  };

  // Adds a token. Throws std::invalid_argument on an empty text or one given twice.
  void add(std::string_view text, int32_t id);
  void finish();

  std::size_t size() const { return texts_.size(); }
  std::string_view text(std::size_t i) const { return texts_[i]; }
  int32_t id(std::size_t i) const { return ids_[i]; }
  // Index of the token with exactly this text, or -1.
  int64_t index_of(std::string_view text) const;
  // The text of a special token's id. Of two tokens sharing an id (o200k_harmony gives
  // <|endofprompt|> and <|reserved_200018|> the same one), the one added first.
  bool token_of(int32_t id, std::string_view& out) const;
  // Every token.
  TokenSet all() const;

  // The leftmost occurrence in `text`, at or after `from`, of a token in `set`; of the
  // tokens occurring there, the longest. Sets `pos` and `index` and returns true, or
  // returns false when there is none.
  bool find(std::string_view text, std::size_t from, const TokenSet& set, std::size_t& pos,
            std::size_t& index) const;

 private:
  struct Node {
    uint32_t first_edge = 0;  // edges of this node: [first_edge, first_edge + edges)
    uint32_t edges = 0;
    int32_t token = -1;       // index of the token ending here
  };
  struct Edge {
    unsigned char byte;
    uint32_t child;
  };

  // The longest token in `set` that starts at text[p], or -1.
  int64_t longest_at(std::string_view text, std::size_t p, const TokenSet& set) const;
  std::size_t next_start(const unsigned char* s, std::size_t from, std::size_t n) const;

  std::vector<std::string> texts_;
  std::vector<int32_t> ids_;
  std::unordered_map<std::string, uint32_t> index_;
  std::unordered_map<int32_t, uint32_t> by_id_;
  std::vector<Node> nodes_;
  std::vector<Edge> edges_;
  bool starts_[256] = {};
  int single_start_ = -1;  // the one byte every token starts with, if there is one
};

}  // namespace corvane
