#include "formats/tokenizer_document.h"

#include <string_view>

#include "core/vocabulary.h"
#include "formats/json_events.h"

namespace corvane {

using json = nlohmann::json;

namespace {

// SAX events of nlohmann's parser, passed on to its tree builder except inside the model's
// vocab and merges values, which are collected into tables. When a value turns out to have
// another shape, the tables are dropped and the caller parses the whole text into a tree.
class DocumentReader {
 public:
  explicit DocumentReader(TokenizerDocument& out) : out_(out), dom_(out.tree, true) {}

  bool irregular() const { return irregular_; }

  bool null() { return capturing() ? odd_value() : dom_.null(); }
  bool boolean(bool v) { return capturing() ? odd_value() : dom_.boolean(v); }
  bool number_integer(json::number_integer_t v) {
    if (!capturing()) return dom_.number_integer(v);
    if (mode_ == Mode::kUnigramVocab) return score(json(v));
    if (v < 0) return odd_value();
    return number_unsigned(static_cast<json::number_unsigned_t>(v));
  }
  bool number_unsigned(json::number_unsigned_t v) {
    if (!capturing()) return dom_.number_unsigned(v);
    if (mode_ == Mode::kUnigramVocab) return score(json(v));
    if (mode_ != Mode::kVocab || depth_ != 1 || v > UINT32_MAX) return odd_value();
    vocab_.emplace_back(std::move(key_), static_cast<uint32_t>(v));
    return true;
  }
  bool number_float(json::number_float_t v, const json::string_t& s) {
    if (!capturing()) return dom_.number_float(v, s);
    if (mode_ == Mode::kUnigramVocab) return score(json(v));
    return odd_value();
  }
  bool binary(json::binary_t& v) { return capturing() ? odd_value() : dom_.binary(v); }

  bool string(json::string_t& v) {
    if (!capturing()) {
      if (in_model() && model_key_ == "type") model_type_ = v;
      return dom_.string(v);
    }
    if (mode_ == Mode::kUnigramVocab) {
      if (depth_ != 2 || parts_ != 0) return odd_value();
      piece_.first = std::move(v);
      parts_ = 1;
      return true;
    }
    if (mode_ != Mode::kMerges) return odd_value();
    if (depth_ == 1) {
      if (!pairs_.empty()) irregular_ = true;  // both forms in one list
      strings_.push_back(std::move(v));
    } else if (depth_ == 2 && parts_ < 2) {
      (parts_ == 0 ? pair_.first : pair_.second) = std::move(v);
      ++parts_;
    } else {
      irregular_ = true;
    }
    return true;
  }

  bool key(json::string_t& k) {
    if (capturing()) {
      if (mode_ == Mode::kVocab && depth_ == 1) key_ = std::move(k);
      return true;
    }
    if (frames_.size() == 1) root_key_ = k;
    if (in_model()) model_key_ = k;
    return dom_.key(k);
  }

  bool start_object(std::size_t n) {
    if (capturing()) return nested();
    if (in_model() && model_key_ == "vocab") return begin(Mode::kVocab);
    // A document that repeats its model is left to the tree.
    if (frames_.size() == 1 && frames_[0] && root_key_ == "model" && models_++ > 0) irregular_ = true;
    frames_.push_back(true);
    return dom_.start_object(n);
  }
  bool start_array(std::size_t n) {
    if (capturing()) {
      if ((mode_ == Mode::kMerges || mode_ == Mode::kUnigramVocab) && depth_ == 1) {
        if (mode_ == Mode::kMerges && !strings_.empty()) irregular_ = true;
        parts_ = 0;
      }
      return nested();
    }
    if (in_model() && model_key_ == "merges") return begin(Mode::kMerges);
    if (in_model() && model_key_ == "vocab") return begin(Mode::kUnigramVocab);
    frames_.push_back(false);
    return dom_.start_array(n);
  }
  bool end_object() {
    if (capturing()) return close();
    frames_.pop_back();
    return dom_.end_object();
  }
  bool end_array() {
    if (capturing()) {
      if (mode_ == Mode::kMerges && depth_ == 2) {
        if (parts_ != 2) irregular_ = true;
        pairs_.push_back(std::move(pair_));
      }
      if (mode_ == Mode::kUnigramVocab && depth_ == 2) {
        if (parts_ != 2) irregular_ = true;
        unigram_.push_back(std::move(piece_));
      }
      return close();
    }
    frames_.pop_back();
    return dom_.end_array();
  }

  template <class Exception>
  bool parse_error(std::size_t position, const std::string& token, const Exception& e) {
    return dom_.parse_error(position, token, e);
  }

 private:
  enum class Mode { kNone, kVocab, kMerges, kUnigramVocab };

  bool capturing() const { return mode_ != Mode::kNone; }
  // Inside the object that is the value of the document's "model".
  bool in_model() const { return frames_.size() == 2 && frames_[0] && frames_[1] && root_key_ == "model"; }

  bool begin(Mode mode) {
    // A model that repeats its vocab or merges is left to the tree.
    if ((mode != Mode::kMerges && seen_vocab_) || (mode == Mode::kMerges && seen_merges_)) irregular_ = true;
    mode_ = mode;
    depth_ = 1;
    return true;
  }
  bool nested() {
    ++depth_;
    if (mode_ == Mode::kVocab || depth_ > 2) irregular_ = true;
    return true;
  }
  // A score of a Unigram vocab entry: the second of its two parts.
  bool score(json value) {
    if (depth_ != 2 || parts_ != 1) return odd_value();
    piece_.second = std::move(value);
    parts_ = 2;
    return true;
  }
  bool close() {
    if (--depth_ > 0) return true;
    // The value is complete: the tree gets an empty stand-in under its key.
    const Mode mode = mode_;
    mode_ = Mode::kNone;
    if (mode == Mode::kVocab) {
      seen_vocab_ = true;
      return dom_.start_object(0) && dom_.end_object();
    }
    if (mode == Mode::kUnigramVocab) {
      seen_vocab_ = true;
      seen_unigram_ = true;
      return dom_.start_array(0) && dom_.end_array();
    }
    seen_merges_ = true;
    return dom_.start_array(0) && dom_.end_array();
  }
  bool odd_value() {
    irregular_ = true;
    return true;
  }

 public:
  // Moves what was collected into the document's tables (the ids are checked here).
  void finish() {
    if (irregular_) return;
    if (seen_unigram_) {
      // Only a Unigram model reads such a list (any other reports it, from the tree).
      if (model_type_ != "Unigram") {
        irregular_ = true;
        return;
      }
      out_.tables.unigram_vocab = std::move(unigram_);
    } else if (seen_vocab_) {
      // Repeated tokens, found with a flat table of entry numbers.
      std::size_t cap = 16;
      while (cap < 2 * vocab_.size()) cap *= 2;
      constexpr uint32_t kFree = UINT32_MAX;
      std::vector<uint32_t> slots(cap, kFree);
      uint64_t top = 0;
      for (std::size_t i = 0; i < vocab_.size() && !irregular_; ++i) {
        const std::string& token = vocab_[i].first;
        for (std::size_t at = Vocabulary::hash(token.data(), token.size()) & (cap - 1);; at = (at + 1) & (cap - 1)) {
          if (slots[at] == kFree) {
            slots[at] = static_cast<uint32_t>(i);
            break;
          }
          if (vocab_[slots[at]].first == token) {
            irregular_ = true;
            break;
          }
        }
        top = std::max<uint64_t>(top, vocab_[i].second);
      }
      if (!vocab_.empty() && top >= 4 * vocab_.size() + 1024) irregular_ = true;
      if (!irregular_ && !vocab_.empty()) {
        std::vector<bool> used(top + 1);
        for (const auto& entry : vocab_) {
          if (used[entry.second]) irregular_ = true;
          used[entry.second] = true;
        }
      }
      if (irregular_) return;
      out_.tables.vocab = std::move(vocab_);
    }
    if (seen_merges_) {
      if (!pairs_.empty()) {
        out_.tables.merge_pairs = std::move(pairs_);
      } else {
        out_.tables.merge_strings = std::move(strings_);
      }
    }
  }

 private:
  TokenizerDocument& out_;
  nlohmann::detail::json_sax_dom_parser<json> dom_;
  std::vector<bool> frames_;  // open containers (true: object) outside the captured values
  std::string root_key_;
  std::string model_key_;
  Mode mode_ = Mode::kNone;
  int depth_ = 0;
  bool seen_vocab_ = false;
  bool seen_merges_ = false;
  bool irregular_ = false;
  std::string key_;
  std::vector<std::pair<std::string, uint32_t>> vocab_;
  std::vector<std::string> strings_;
  std::vector<std::pair<std::string, std::string>> pairs_;
  std::pair<std::string, std::string> pair_;
  int parts_ = 0;
  bool seen_unigram_ = false;
  std::string model_type_;  // the model's "type", when it is a string
  int models_ = 0;          // "model" objects met
  std::vector<std::pair<std::string, json>> unigram_;
  std::pair<std::string, json> piece_;
};

}  // namespace

TokenizerDocument parse_tokenizer_document(std::string_view text) {
  {
    // The fast reader first; what it leaves to nlohmann's parser (errors above all) is read
    // again from the start by that parser.
    TokenizerDocument doc;
    DocumentReader reader(doc);
    if (JsonEvents<DocumentReader>::read(text, reader)) {
      reader.finish();
      if (!reader.irregular()) return doc;
    } else {
      TokenizerDocument again;
      DocumentReader slow(again);
      json::sax_parse(text.begin(), text.end(), &slow);
      slow.finish();
      if (!slow.irregular()) return again;
    }
  }
  // A value of another shape: the plain tree, read again, for the readers to judge.
  TokenizerDocument plain;
  plain.tree = json::parse(text.begin(), text.end());
  return plain;
}

}  // namespace corvane
