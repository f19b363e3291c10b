#include "models/sentencepiece_pieces.h"

#include <stdexcept>

namespace corvane {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_normal_kind(SentencePiecePieces::Type t) {
  return t == SentencePiecePieces::Type::kNormal || t == SentencePiecePieces::Type::kUserDefined ||
         t == SentencePiecePieces::Type::kUnused;
}

}  // namespace

int SentencePiecePieces::piece_to_byte(std::string_view piece) {
  // Exactly "<0x" two upper-case hex digits ">".
  if (piece.size() != 6 || piece.substr(0, 3) != "<0x" || piece[5] != '>') return -1;
  const int hi = hex_digit(piece[3]), lo = hex_digit(piece[4]);
  if (hi < 0 || lo < 0) return -1;
  return hi * 16 + lo;
}

SentencePiecePieces::SentencePiecePieces(std::vector<Piece> pieces, bool byte_fallback)
    : pieces_(std::move(pieces)), byte_fallback_(byte_fallback) {
  if (pieces_.size() > static_cast<std::size_t>(INT32_MAX)) throw std::invalid_argument("too many pieces.");
  std::array<bool, 256> byte_found{};
  int64_t unk = -1;
  normal_.reserve(pieces_.size());
  for (std::size_t i = 0; i < pieces_.size(); ++i) {
    const Piece& p = pieces_[i];
    if (p.text.empty()) throw std::invalid_argument("piece must not be empty.");
    Vocabulary& table = is_normal_kind(p.type) ? normal_ : reserved_;
    // A text seen before leaves the table's size as it was (the table is then dropped).
    const std::size_t before = table.size();
    table.assign(p.text, static_cast<int32_t>(i));
    if (table.size() == before) throw std::invalid_argument(p.text + " is already defined.");
    if (p.type == Type::kUnknown) {
      if (unk >= 0) throw std::invalid_argument("unk is already defined.");
      unk = static_cast<int64_t>(i);
    }
    if (p.type == Type::kByte) {
      if (!byte_fallback) {
        throw std::invalid_argument("byte piece " + p.text + " is found although `byte_fallback` is false.");
      }
      const int b = piece_to_byte(p.text);
      if (b < 0) throw std::invalid_argument("byte piece " + p.text + " is invalid.");
      byte_found[static_cast<std::size_t>(b)] = true;
      byte_ids_[static_cast<std::size_t>(b)] = static_cast<uint32_t>(i);
    }
  }
  normal_.finish();
  reserved_.finish();
  if (unk < 0) throw std::invalid_argument("unk is not defined.");
  unk_id_ = static_cast<uint32_t>(unk);
  if (byte_fallback) {
    for (bool found : byte_found) {
      if (!found) throw std::invalid_argument("there are not 256 byte pieces although `byte_fallback` is true.");
    }
  }
}

std::optional<uint32_t> SentencePiecePieces::find(std::string_view piece) const {
  if (const int32_t* id = reserved_.find(piece)) return static_cast<uint32_t>(*id);
  if (const int32_t* id = normal_.find(piece)) return static_cast<uint32_t>(*id);
  return std::nullopt;
}

std::vector<std::pair<std::string_view, int32_t>> SentencePiecePieces::segmentation_pieces() const {
  std::vector<std::pair<std::string_view, int32_t>> out;
  out.reserve(normal_.size());
  for (std::size_t e = 0; e < normal_.size(); ++e) out.emplace_back(normal_.text_at(e), normal_.id_at(e));
  return out;
}

void SentencePiecePieces::for_each_token(const std::function<void(std::string_view, uint32_t)>& fn) const {
  for (std::size_t i = 0; i < pieces_.size(); ++i) {
    // Each table holds a text once, so a piece is found under its own id unless it is a
    // normal piece whose text a reserved piece also has (that one is found). The reserved
    // table is small: only normal pieces are looked up, and only there.
    const Piece& p = pieces_[i];
    if (is_normal_kind(p.type) && reserved_.find(p.text)) continue;
    fn(p.text, static_cast<uint32_t>(i));
  }
}

}  // namespace corvane
