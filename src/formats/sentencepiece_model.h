#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pipeline/pipeline.h"

namespace corvane {

// What a SentencePiece .model file (a serialized sentencepiece.ModelProto) holds that
// encoding and decoding need. Fields absent from the file have the defaults of
// sentencepiece_model.proto.
struct SentencePieceModelProto {
  enum PieceType : int { kNormal = 1, kUnknown = 2, kControl = 3, kUserDefined = 4, kUnused = 5, kByte = 6 };
  enum ModelType : int { kUnigram = 1, kBpe = 2, kWord = 3, kChar = 4 };

  struct Piece {
    std::string piece;
    float score = 0.0f;
    int type = kNormal;
  };
  struct NormalizerSpec {
    std::string name;
    std::string_view precompiled_charsmap;  // into the parsed bytes
    bool add_dummy_prefix = true;
    bool remove_extra_whitespaces = true;
    bool escape_whitespaces = true;
  };
  struct TrainerSpec {
    int model_type = kUnigram;
    bool byte_fallback = false;
    bool treat_whitespace_as_suffix = false;
    std::string unk_surface = " \xE2\x81\x87 ";
  };

  std::vector<Piece> pieces;
  TrainerSpec trainer_spec;
  NormalizerSpec normalizer_spec;
  bool has_denormalizer_spec = false;
  NormalizerSpec denormalizer_spec;
};

// Reads the protobuf wire format of a ModelProto, as the protobuf runtime would: every read
// is bounds-checked, unknown fields (groups included, nested up to 100 deep) are skipped,
// a known field with another wire type counts as unknown, an enum value the schema does not
// name leaves the field as it was, a message field given twice is merged, the last of a
// repeated scalar wins. Throws std::invalid_argument "invalid SentencePiece model: <what
// is wrong>" for bytes that are not a well-formed message (truncated, a bad tag, ...).
// The result points into `bytes` (the compiled rules), which must outlive it.
SentencePieceModelProto parse_sentencepiece_model(std::string_view bytes);

// The pipeline that encodes and decodes as SentencePiece does with the model in `bytes`:
// its normalizer (compiled rules, user-defined pieces kept as they are, whitespace
// handling), its Unigram or BPE model, and its decoder; no pre-tokenizer, no added tokens,
// no post-processor. Throws std::invalid_argument "invalid SentencePiece model: <reason>"
// for a malformed file and for what SentencePiece refuses to load (its reason: "unk is
// not defined.", "<piece> is already defined.", ...), and
// "unsupported SentencePiece model type <WORD|CHAR|n>" for the types other than UNIGRAM
// and BPE.
Pipeline::Components sentencepiece_components(std::string_view bytes);

}  // namespace corvane
