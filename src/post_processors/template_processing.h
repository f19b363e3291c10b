#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "post_processors/post_processor.h"
#include "post_processors/special_token.h"

namespace corvane {

// Special tokens laid out by a template, one for a single sequence and one for a pair:
// a list of pieces, each either an input sequence (A or B) or a special token, each with
// the type id its tokens get. "[CLS]:0 $A:0 [SEP]:0 $B:1 [SEP]:1" is BERT's pair layout.
// Without special tokens only the sequences are laid out (with their type ids).
class TemplateProcessing final : public PostProcessor {
 public:
  struct Piece {
    enum class Kind : uint8_t { kSequenceA, kSequenceB, kSpecial } kind;
    uint32_t type_id;
    std::size_t special;  // index into the special tokens (kSpecial)
  };

  // Throws std::invalid_argument when a piece names a special token that is not given, or
  // the single template uses sequence B.
  TemplateProcessing(std::vector<Piece> single, std::vector<Piece> pair, std::vector<SpecialToken> specials);

  std::size_t added_tokens(bool is_pair) const override { return is_pair ? added_pair_ : added_single_; }
  // Takes one record (the single template) or two (the pair template); std::invalid_argument
  // for any other number.
  void process_encodings(std::vector<EncodingRecord>& encodings, bool add_special_tokens) const override;

 private:
  std::size_t count_added(const std::vector<Piece>& pieces) const;

  std::vector<Piece> single_, pair_;
  std::vector<SpecialToken> specials_;
  std::size_t added_single_ = 0, added_pair_ = 0;
};

}  // namespace corvane
