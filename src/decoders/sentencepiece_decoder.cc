#include "decoders/sentencepiece_decoder.h"

#include "core/utf8.h"

namespace corvane {

namespace {

constexpr std::string_view kSpaceSymbol = "\xe2\x96\x81";

void append_replacing_spaces(std::string& out, std::string_view piece) {
  for (std::size_t i = 0; i < piece.size();) {
    const std::size_t at = piece.find(kSpaceSymbol, i);
    if (at == std::string_view::npos) {
      out.append(piece.substr(i));
      return;
    }
    out.append(piece.substr(i, at - i));
    out.push_back(' ');
    i = at + kSpaceSymbol.size();
  }
}

}  // namespace

SentencePieceDecoder::SentencePieceDecoder(std::shared_ptr<const SentencePiecePieces> pieces, std::string unk_surface,
                                           bool strip_leading_space, bool remove_extra_whitespaces,
                                           std::unique_ptr<const SentencePieceNormalizer> denormalizer)
    : pieces_(std::move(pieces)),
      unk_surface_(std::move(unk_surface)),
      strip_leading_space_(strip_leading_space),
      remove_extra_whitespaces_(remove_extra_whitespaces),
      denormalizer_(std::move(denormalizer)) {}

std::vector<std::string> SentencePieceDecoder::decode_chain(std::vector<std::string> tokens) const {
  std::string text;
  std::string pending;  // bytes of the current run of byte pieces
  auto flush_bytes = [&]() {
    const auto* p = reinterpret_cast<const unsigned char*>(pending.data());
    for (std::size_t i = 0; i < pending.size();) {
      const std::size_t len = Utf8::char_length(p + i, pending.size() - i);
      if (len == 0) {
        text.append("\xEF\xBF\xBD");
        ++i;
      } else {
        text.append(pending, i, len);
        i += len;
      }
    }
    pending.clear();
  };
  bool at_start = true;      // a leading U+2581 may still be dropped
  bool dropped_one = false;  // the last piece had its leading U+2581 dropped
  for (const std::string& token : tokens) {
    using Type = SentencePiecePieces::Type;
    const std::optional<uint32_t> id = pieces_->find(token);
    const Type type = id ? (*pieces_)[*id].type : Type::kNormal;
    if (type == Type::kByte) {
      pending.push_back(static_cast<char>(SentencePiecePieces::piece_to_byte(token)));
      continue;
    }
    flush_bytes();
    if (dropped_one || !text.empty()) at_start = false;
    dropped_one = false;
    if (type == Type::kControl) continue;
    if (type == Type::kUnknown) {
      text.append(unk_surface_);
      continue;
    }
    if (!id) {
      text.append(token);  // not a piece: SentencePiece keeps it as it is
      continue;
    }
    std::string_view piece(token);
    if (at_start && strip_leading_space_ && piece.substr(0, kSpaceSymbol.size()) == kSpaceSymbol) {
      piece.remove_prefix(kSpaceSymbol.size());
      dropped_one = !remove_extra_whitespaces_;
    }
    append_replacing_spaces(text, piece);
  }
  flush_bytes();
  if (denormalizer_) text = denormalizer_->normalize_string(text);
  std::vector<std::string> out;
  out.push_back(std::move(text));
  return out;
}

}  // namespace corvane
