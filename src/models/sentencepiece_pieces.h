#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/vocabulary.h"
#include "models/model.h"

namespace corvane {

// The pieces of a SentencePiece model and what the models built on them share: the kinds
// of pieces, the lookup of a piece's id as SentencePiece does it, and the last step of
// encoding (a run of unknown characters becomes one unknown token, or with byte fallback
// the <0xXX> tokens of each character's bytes).
class SentencePiecePieces {
 public:
  enum class Type : uint8_t { kNormal = 1, kUnknown = 2, kControl = 3, kUserDefined = 4, kUnused = 5, kByte = 6 };

  struct Piece {
    std::string text;
    float score = 0.0f;
    Type type = Type::kNormal;
  };

  // Checks the pieces as SentencePiece does when it loads a model, and throws
  // std::invalid_argument with its reason ("unk is not defined.", "<piece> is already
  // defined.", ...) otherwise.
  SentencePiecePieces(std::vector<Piece> pieces, bool byte_fallback);

  std::size_t size() const { return pieces_.size(); }
  const Piece& operator[](std::size_t id) const { return pieces_[id]; }
  uint32_t unk_id() const { return unk_id_; }
  bool byte_fallback() const { return byte_fallback_; }
  // The id of the <0xXX> piece of byte b (with byte fallback).
  uint32_t byte_id(unsigned char b) const { return byte_ids_[b]; }
  // The byte a BYTE piece stands for, or -1.
  static int piece_to_byte(std::string_view piece);

  // The id SentencePiece gives `piece`: a control, unknown or byte piece first, then a
  // normal, user-defined or unused one; nullopt for anything else.
  std::optional<uint32_t> find(std::string_view piece) const;
  // Among the normal, user-defined and unused pieces only (-1 when absent).
  int32_t find_normal(std::string_view piece) const {
    const int32_t* id = normal_.find(piece);
    return id ? *id : -1;
  }

  // The pieces that take part in segmentation (normal, user-defined and unused), with ids.
  std::vector<std::pair<std::string_view, int32_t>> segmentation_pieces() const;

  // Appends the tokens of a segmentation: pieces [begin, end) of `text` with their ids (the
  // unknown id for a piece that is not in the vocabulary). Consecutive unknown pieces are
  // joined into one token; with byte fallback each unknown piece becomes the tokens of its
  // bytes instead, each spanning its own byte (as sentencepiece maps them back to the input:
  // all but the last empty at the start of the character, the last the whole character).
  void emit(uint32_t id, uint32_t begin, uint32_t end, std::string_view text, bool& prev_unknown,
            std::vector<PieceToken>& out) const {
    const bool unknown = id == unk_id_;
    if (unknown && byte_fallback_) {
      for (uint32_t k = begin; k < end; ++k) {
        out.push_back(PieceToken{byte_ids_[static_cast<unsigned char>(text[k])], k, k + 1});
      }
    } else if (unknown && prev_unknown && !out.empty()) {
      out.back().end = end;
    } else {
      out.push_back(PieceToken{id, begin, end, unknown});  // an unknown run is its own text
    }
    prev_unknown = unknown;
  }

  void for_each_token(const std::function<void(std::string_view, uint32_t)>& fn) const;

 private:
  std::vector<Piece> pieces_;
  Vocabulary normal_;    // normal, user-defined and unused pieces
  Vocabulary reserved_;  // control, unknown and byte pieces
  uint32_t unk_id_ = 0;
  bool byte_fallback_;
  std::array<uint32_t, 256> byte_ids_{};
};

}  // namespace corvane
