#pragma once

// Plain references of tokenizers' BPE and WordPiece models, written from their rules with
// strings and ordered maps only: quadratic, and obviously so.
//
// BPE: a piece starts as its characters (prefix on all but the first, suffix on the last);
// a character not in the vocabulary becomes its "<0xXX>" byte tokens (byte_fallback, all
// of them present) or the unknown token (runs fused with fuse_unk), written when the next
// known character comes, or nothing without an unknown token. Then, while some adjacent
// pair is a rule, the pair of lowest rank is joined, the leftmost among equal ranks. With
// distinct ids per token this is exactly what tokenizers' priority queue does.
//
// WordPiece: the longest vocabulary token from the left on character boundaries, with the
// prefix after the first; anything unmatched (or too many characters) makes the whole
// piece the unknown token.

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace fuzzref {

struct RefToken {
  uint32_t id;
  uint32_t begin;
  uint32_t end;
  bool operator==(const RefToken& o) const { return id == o.id && begin == o.begin && end == o.end; }
};

inline std::size_t ref_char_len(unsigned char lead) {
  return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

struct RefBpe {
  std::map<std::string, uint32_t> vocab;
  std::vector<std::pair<std::string, std::string>> merges;  // in rank order
  std::optional<std::string> unk, prefix, suffix;
  bool fuse_unk = false, byte_fallback = false, ignore_merges = false;

  // The rule of each pair of texts: (rank, joined text); a later rule replaces an earlier
  // one. Throws std::invalid_argument as tokenizers' loader does.
  std::map<std::pair<std::string, std::string>, std::pair<std::size_t, std::string>> rules() const {
    std::map<std::pair<std::string, std::string>, std::pair<std::size_t, std::string>> out;
    const std::size_t p = prefix ? prefix->size() : 0;
    for (std::size_t i = 0; i < merges.size(); ++i) {
      const auto& [a, b] = merges[i];
      if (!vocab.count(a)) throw std::invalid_argument("Token `" + a + "` out of vocabulary");
      if (!vocab.count(b)) throw std::invalid_argument("Token `" + b + "` out of vocabulary");
      // Where tokenizers fails without a message of its own.
      if (b.size() < p) {
        throw std::invalid_argument("Merge `" + a + " " + b +
                                    "`: the right token is shorter than the continuing_subword_prefix");
      }
      const std::string joined = a + b.substr(p);
      if (!vocab.count(joined)) throw std::invalid_argument("Token `" + joined + "` out of vocabulary");
      out[{a, b}] = {i, joined};
    }
    return out;
  }

  std::vector<RefToken> tokenize(const std::string& piece) const {
    if (piece.empty()) return {};
    if (ignore_merges && vocab.count(piece)) return {{vocab.at(piece), 0, static_cast<uint32_t>(piece.size())}};
    // Symbols as (text, byte length); byte tokens have texts of their own.
    std::vector<std::pair<std::string, std::size_t>> sym;
    std::optional<std::size_t> pending;  // length of a pending unknown token
    for (std::size_t i = 0; i < piece.size();) {
      const std::size_t len = ref_char_len(static_cast<unsigned char>(piece[i]));
      std::string s = (i > 0 && prefix ? *prefix : "") + piece.substr(i, len) +
                      (i + len == piece.size() && suffix ? *suffix : "");
      if (vocab.count(s)) {
        if (pending) sym.push_back({*unk, *pending});
        pending.reset();
        sym.push_back({s, len});
      } else {
        bool done = false;
        if (byte_fallback) {
          std::vector<std::string> bytes;
          for (unsigned char b : s) {
            static const char* hex = "0123456789ABCDEF";
            bytes.push_back(std::string("<0x") + hex[b >> 4] + hex[b & 15] + ">");
          }
          bool all = true;
          for (const auto& t : bytes) all = all && vocab.count(t);
          if (all) {
            for (const auto& t : bytes) sym.push_back({t, 1});
            done = true;
          }
        }
        if (!done && unk) {
          if (pending && fuse_unk) {
            *pending += len;
          } else {
            if (pending) sym.push_back({*unk, *pending});
            if (!vocab.count(*unk)) throw std::runtime_error("Unk token `" + *unk + "` not found in the vocabulary");
            pending = len;
          }
        }
      }
      i += len;
    }
    if (pending) sym.push_back({*unk, *pending});
    const auto r = rules();
    for (;;) {
      std::size_t best = sym.size(), best_rank = 0;
      for (std::size_t k = 0; k + 1 < sym.size(); ++k) {
        const auto it = r.find({sym[k].first, sym[k + 1].first});
        if (it != r.end() && (best == sym.size() || it->second.first < best_rank)) {
          best = k;
          best_rank = it->second.first;
        }
      }
      if (best == sym.size()) break;
      sym[best] = {r.at({sym[best].first, sym[best + 1].first}).second, sym[best].second + sym[best + 1].second};
      sym.erase(sym.begin() + static_cast<std::ptrdiff_t>(best) + 1);
    }
    std::vector<RefToken> out;
    std::size_t pos = 0;
    for (const auto& [text, len] : sym) {
      out.push_back({vocab.at(text), static_cast<uint32_t>(pos), static_cast<uint32_t>(pos + len)});
      pos += len;
    }
    return out;
  }
};

struct RefWordPiece {
  std::map<std::string, uint32_t> vocab;
  std::string unk, prefix;
  uint64_t max_chars = 100;

  std::vector<RefToken> tokenize(const std::string& piece) const {
    auto unknown = [&]() -> std::vector<RefToken> {
      if (!vocab.count(unk)) throw std::runtime_error("WordPiece error: Missing [UNK] token from the vocabulary");
      return {{vocab.at(unk), 0, static_cast<uint32_t>(piece.size())}};
    };
    uint64_t chars = 0;
    for (unsigned char c : piece) chars += (c & 0xC0) != 0x80;
    if (chars > max_chars) return unknown();
    std::vector<RefToken> out;
    std::size_t start = 0;
    while (start < piece.size()) {
      std::size_t end = piece.size();
      bool found = false;
      while (start < end) {
        const std::string s = (start > 0 ? prefix : "") + piece.substr(start, end - start);
        if (vocab.count(s)) {
          out.push_back({vocab.at(s), static_cast<uint32_t>(start), static_cast<uint32_t>(end)});
          found = true;
          break;
        }
        do --end; while (end > start && (static_cast<unsigned char>(piece[end]) & 0xC0) == 0x80);
      }
      if (!found) return unknown();
      start = end;
    }
    return out;
  }
};

}  // namespace fuzzref
