#include "post_processors/template_processing.h"

#include <stdexcept>
#include <utility>

namespace corvane {

TemplateProcessing::TemplateProcessing(std::vector<Piece> single, std::vector<Piece> pair,
                                       std::vector<SpecialToken> specials)
    : single_(std::move(single)), pair_(std::move(pair)), specials_(std::move(specials)) {
  for (const auto* pieces : {&single_, &pair_}) {
    for (const Piece& p : *pieces) {
      if (p.kind == Piece::Kind::kSpecial && p.special >= specials_.size()) {
        throw std::invalid_argument("TemplateProcessing: a piece names a special token that is not given");
      }
    }
  }
  for (const Piece& p : single_) {
    if (p.kind == Piece::Kind::kSequenceB) {
      throw std::invalid_argument("TemplateProcessing: the single template uses sequence B, which a single input does not have");
    }
  }
  for (const SpecialToken& s : specials_) {
    if (s.ids.size() != s.tokens.size()) {
      throw std::invalid_argument("SpecialToken: ids and tokens must be of the same length");
    }
  }
  added_single_ = count_added(single_);
  added_pair_ = count_added(pair_);
}

std::size_t TemplateProcessing::count_added(const std::vector<Piece>& pieces) const {
  std::size_t n = 0;
  for (const Piece& p : pieces) {
    if (p.kind == Piece::Kind::kSpecial) n += specials_[p.special].ids.size();
  }
  return n;
}

void TemplateProcessing::process_encodings(std::vector<EncodingRecord>& encodings, bool add_special_tokens) const {
  if (encodings.size() != 1 && encodings.size() != 2) {
    throw std::invalid_argument("TemplateProcessing: expected one or two encodings, got " +
                                std::to_string(encodings.size()));
  }
  const std::vector<Piece>& pieces = encodings.size() == 2 ? pair_ : single_;
  // The last piece that uses each sequence may take its record instead of a copy.
  std::size_t last_use[2] = {SIZE_MAX, SIZE_MAX};
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    if (pieces[k].kind == Piece::Kind::kSequenceA) last_use[0] = k;
    if (pieces[k].kind == Piece::Kind::kSequenceB) last_use[1] = k;
  }
  std::vector<EncodingRecord> out;
  out.reserve(pieces.size());
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    const Piece& p = pieces[k];
    if (p.kind == Piece::Kind::kSpecial) {
      if (add_special_tokens) out.push_back(specials_[p.special].record(p.type_id));
      continue;
    }
    const std::size_t i = p.kind == Piece::Kind::kSequenceA ? 0 : 1;
    EncodingRecord& e = encodings[i];
    e.set_type_ids(p.type_id);
    e.set_sequence_id(i);
    if (k == last_use[i]) {
      out.push_back(std::move(e));
    } else {
      out.push_back(e);
    }
  }
  encodings = std::move(out);
}

}  // namespace corvane
