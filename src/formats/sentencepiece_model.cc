#include "formats/sentencepiece_model.h"

#include <cstring>
#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "core/utf8.h"
#include "decoders/sentencepiece_decoder.h"
#include "models/bpe/sentencepiece_bpe_model.h"
#include "models/sentencepiece_pieces.h"
#include "models/unigram/sentencepiece_unigram_model.h"
#include "normalizers/precompiled_charsmap.h"
#include "normalizers/sentencepiece_normalizer.h"

namespace corvane {

namespace {

[[noreturn]] void invalid(const std::string& what) {
  throw std::invalid_argument("invalid SentencePiece model: " + what);
}

constexpr int kMaxGroupDepth = 100;

enum WireType : uint32_t { kVarint = 0, kFixed64 = 1, kBytes = 2, kStartGroup = 3, kEndGroup = 4, kFixed32 = 5 };

// A bounds-checked reader of one message's bytes.
class Wire {
 public:
  explicit Wire(std::string_view bytes) : p_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  bool done() const { return p_ == end_; }

  uint64_t varint() {
    uint64_t v = 0;
    // Up to ten bytes; bits past the 64th are dropped, as the protobuf runtime drops them.
    for (int shift = 0; shift < 70; shift += 7) {
      if (p_ == end_) invalid("truncated varint");
      const auto b = static_cast<unsigned char>(*p_++);
      if (shift < 64) v |= static_cast<uint64_t>(b & 0x7F) << shift;
      if (!(b & 0x80)) return v;
    }
    invalid("varint longer than 10 bytes");
  }

  // A field's tag: its number and wire type.
  std::pair<uint32_t, uint32_t> tag() {
    const uint64_t t = varint();
    if (t > UINT32_MAX) invalid("tag out of range");
    const auto field = static_cast<uint32_t>(t >> 3);
    const auto type = static_cast<uint32_t>(t & 7);
    if (field == 0) invalid("field number 0");
    if (type > kFixed32) invalid("unknown wire type " + std::to_string(type));
    return {field, type};
  }

  std::string_view bytes() {
    const uint64_t n = varint();
    if (n > static_cast<uint64_t>(end_ - p_)) invalid("truncated length-delimited field");
    const std::string_view s(p_, static_cast<std::size_t>(n));
    p_ += n;
    return s;
  }

  uint32_t fixed32() {
    if (end_ - p_ < 4) invalid("truncated fixed32 field");
    uint32_t v = 0;
    for (int k = 3; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(p_[k]);
    p_ += 4;
    return v;
  }

  void fixed64() {
    if (end_ - p_ < 8) invalid("truncated fixed64 field");
    p_ += 8;
  }

  // Skips a field of wire type `type` whose tag was just read (a group up to its end).
  void skip(uint32_t field, uint32_t type) {
    switch (type) {
      case kVarint: varint(); return;
      case kFixed64: fixed64(); return;
      case kBytes: bytes(); return;
      case kFixed32: fixed32(); return;
      case kStartGroup: skip_group(field); return;
      default: invalid("unexpected end-group tag");
    }
  }

 private:
  void skip_group(uint32_t field) {
    // The groups open, innermost last.
    std::vector<uint32_t> open{field};
    while (!open.empty()) {
      if (done()) invalid("truncated group");
      const auto [f, t] = tag();
      if (t == kEndGroup) {
        if (f != open.back()) invalid("mismatched end-group tag");
        open.pop_back();
      } else if (t == kStartGroup) {
        if (open.size() >= kMaxGroupDepth) invalid("groups nested too deeply");
        open.push_back(f);
      } else {
        skip(f, t);
      }
    }
  }

  const char* p_;
  const char* end_;
};

float as_float(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// Parses a message, calling on_field(field, type, wire) for each field; a handler that does
// not take a field returns false and the field is skipped.
template <class OnField>
void parse_message(std::string_view bytes, OnField&& on_field) {
  Wire w(bytes);
  while (!w.done()) {
    const auto [field, type] = w.tag();
    if (type == kEndGroup) invalid("unexpected end-group tag");
    if (!on_field(field, type, w)) w.skip(field, type);
  }
}

void parse_piece(std::string_view bytes, SentencePieceModelProto::Piece& p) {
  parse_message(bytes, [&](uint32_t field, uint32_t type, Wire& w) {
    if (field == 1 && type == kBytes) {
      p.piece = std::string(w.bytes());
    } else if (field == 2 && type == kFixed32) {
      p.score = as_float(w.fixed32());
    } else if (field == 3 && type == kVarint) {
      const auto v = static_cast<int32_t>(w.varint());
      if (v >= 1 && v <= 6) p.type = v;  // a value the schema does not name is ignored
    } else {
      return false;
    }
    return true;
  });
}

void parse_trainer(std::string_view bytes, SentencePieceModelProto::TrainerSpec& t) {
  parse_message(bytes, [&](uint32_t field, uint32_t type, Wire& w) {
    if (field == 3 && type == kVarint) {
      const auto v = static_cast<int32_t>(w.varint());
      if (v >= 1 && v <= 4) t.model_type = v;
    } else if (field == 35 && type == kVarint) {
      t.byte_fallback = w.varint() != 0;
    } else if (field == 24 && type == kVarint) {
      t.treat_whitespace_as_suffix = w.varint() != 0;
    } else if (field == 44 && type == kBytes) {
      t.unk_surface = std::string(w.bytes());
    } else {
      return false;
    }
    return true;
  });
}

void parse_normalizer(std::string_view bytes, SentencePieceModelProto::NormalizerSpec& n) {
  parse_message(bytes, [&](uint32_t field, uint32_t type, Wire& w) {
    if (field == 1 && type == kBytes) {
      n.name = std::string(w.bytes());
    } else if (field == 2 && type == kBytes) {
      n.precompiled_charsmap = w.bytes();
    } else if (field == 3 && type == kVarint) {
      n.add_dummy_prefix = w.varint() != 0;
    } else if (field == 4 && type == kVarint) {
      n.remove_extra_whitespaces = w.varint() != 0;
    } else if (field == 5 && type == kVarint) {
      n.escape_whitespaces = w.varint() != 0;
    } else {
      return false;
    }
    return true;
  });
}

}  // namespace

SentencePieceModelProto parse_sentencepiece_model(std::string_view bytes) {
  SentencePieceModelProto m;
  // The pieces are most of the file: counted first, they are read into place. A fault is
  // left to the reading below, which reports the first one in the order it meets them.
  std::size_t pieces = 0;
  try {
    parse_message(bytes, [&](uint32_t field, uint32_t type, Wire&) {
      pieces += field == 1 && type == kBytes;
      return false;
    });
  } catch (const std::invalid_argument&) {
  }
  m.pieces.reserve(pieces);
  parse_message(bytes, [&](uint32_t field, uint32_t type, Wire& w) {
    if (type != kBytes || field < 1 || field > 5) return false;
    const std::string_view body = w.bytes();
    switch (field) {
      case 1:
        m.pieces.emplace_back();
        parse_piece(body, m.pieces.back());
        break;
      case 2: parse_trainer(body, m.trainer_spec); break;
      case 3: parse_normalizer(body, m.normalizer_spec); break;
      case 4:
        // Self-test samples: checked for form only (SentencePiece runs them at load; a
        // model that fails them was never written by its trainer).
        parse_message(body, [](uint32_t f, uint32_t t, Wire& sw) {
          if (f != 1 || t != kBytes) return false;
          parse_message(sw.bytes(), [](uint32_t, uint32_t, Wire&) { return false; });
          return true;
        });
        break;
      case 5:
        m.has_denormalizer_spec = true;
        parse_normalizer(body, m.denormalizer_spec);
        break;
    }
    return true;
  });
  return m;
}

Pipeline::Components sentencepiece_components(std::string_view bytes) {
  SentencePieceModelProto m = parse_sentencepiece_model(bytes);
  const auto& trainer = m.trainer_spec;
  if (!Utf8::is_valid(trainer.unk_surface)) invalid("unk_surface is not valid UTF-8");
  if (trainer.model_type != SentencePieceModelProto::kUnigram && trainer.model_type != SentencePieceModelProto::kBpe) {
    throw std::invalid_argument(std::string("unsupported SentencePiece model type ") +
                                (trainer.model_type == SentencePieceModelProto::kWord ? "WORD" : "CHAR"));
  }
  // The pieces, as SentencePiece checks them.
  std::vector<SentencePiecePieces::Piece> pieces;
  std::vector<std::string> user_defined;
  pieces.reserve(m.pieces.size());
  for (std::size_t i = 0; i < m.pieces.size(); ++i) {
    auto& p = m.pieces[i];
    if (p.piece.find('\0') != std::string::npos) invalid("piece " + std::to_string(i) + " holds a NUL byte");
    if (!Utf8::is_valid(p.piece)) invalid("piece " + std::to_string(i) + " is not valid UTF-8");
    if (p.type == SentencePieceModelProto::kUserDefined) user_defined.push_back(p.piece);
    pieces.push_back({std::move(p.piece), p.score, static_cast<SentencePiecePieces::Type>(p.type)});
  }
  std::shared_ptr<const SentencePiecePieces> table;
  std::unique_ptr<const Model> model;
  try {
    table = std::make_shared<const SentencePiecePieces>(std::move(pieces), trainer.byte_fallback);
    if (trainer.model_type == SentencePieceModelProto::kUnigram) {
      model = std::make_unique<SentencePieceUnigramModel>(table);
    } else {
      model = std::make_unique<SentencePieceBpeModel>(table);
    }
  } catch (const std::invalid_argument& e) {
    invalid(e.what());
  }

  auto charsmap_of = [](std::string_view blob) -> std::shared_ptr<const PrecompiledCharsmap> {
    if (blob.empty()) return nullptr;
    try {
      return std::make_shared<const PrecompiledCharsmap>(blob);
    } catch (const std::invalid_argument& e) {
      invalid(e.what());
    }
  };
  Pipeline::Components c;
  const auto& ns = m.normalizer_spec;
  SentencePieceNormalizer::Options options{ns.add_dummy_prefix, ns.remove_extra_whitespaces, ns.escape_whitespaces,
                                           trainer.treat_whitespace_as_suffix};
  c.normalizer = std::make_unique<SentencePieceNormalizer>(charsmap_of(ns.precompiled_charsmap), options, user_defined);

  std::unique_ptr<const SentencePieceNormalizer> denormalizer;
  if (m.has_denormalizer_spec && !m.denormalizer_spec.precompiled_charsmap.empty()) {
    const auto& ds = m.denormalizer_spec;
    SentencePieceNormalizer::Options d{ds.add_dummy_prefix, ds.remove_extra_whitespaces, ds.escape_whitespaces, false};
    denormalizer = std::make_unique<SentencePieceNormalizer>(charsmap_of(ds.precompiled_charsmap), d,
                                                             std::vector<std::string>{});
  }
  c.decoder = std::make_unique<SentencePieceDecoder>(table, trainer.unk_surface,
                                                     ns.add_dummy_prefix || ns.remove_extra_whitespaces,
                                                     ns.remove_extra_whitespaces, std::move(denormalizer));
  c.model = std::move(model);
  return c;
}

}  // namespace corvane
