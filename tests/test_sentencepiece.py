"""SentencePiece .model files (Unigram and BPE) against `sentencepiece` itself: models trained
here with its trainer on slices of the shared corpora, compared on the corpora and on random
Unicode (ids, pieces, decoded text); the reader's refusals of malformed files."""

from __future__ import annotations

import pickle
import random
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvane
import sentencepiece_models as spmodels
from conftest import SHARED, distinct_words

spm = pytest.importorskip("sentencepiece")

USER_SYMBOLS = ["<sep>", "foo", "▁the", "()"]

CONFIGS = {
    "unigram": dict(model_type="unigram"),
    "bpe": dict(model_type="bpe"),
    "unigram-byte-fallback": dict(model_type="unigram", byte_fallback=True),
    "bpe-byte-fallback": dict(model_type="bpe", byte_fallback=True, vocab_size=800),
    "unigram-user-defined-no-dummy-prefix": dict(model_type="unigram", user_defined_symbols=USER_SYMBOLS,
                                                 add_dummy_prefix=False, control_symbols=["<ctl>"]),
    "bpe-user-defined-extra-whitespace": dict(model_type="bpe", user_defined_symbols=USER_SYMBOLS,
                                              remove_extra_whitespaces=False),
    # Pieces across spaces ("e▁the"): long texts may only be cut where no piece crosses.
    "bpe-across-words": dict(model_type="bpe", split_by_whitespace=False),
    "unigram-identity-suffix": dict(model_type="unigram", normalization_rule_name="identity",
                                    treat_whitespace_as_suffix=True, split_digits=True),
    # Trainers insist on escaped whitespace: this one's is switched off afterwards (see below).
    "unigram-no-dummy-prefix-unescaped": dict(model_type="unigram", add_dummy_prefix=False,
                                              split_by_whitespace=False),
}
NAMES = list(CONFIGS)


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    """name -> (path, the sentencepiece processor, corvane's tokenizer)."""
    directory = tmp_path_factory.mktemp("spm")
    out = {}
    for name, options in CONFIGS.items():
        path = spmodels.train(directory, name, **options)
        if name.endswith("-unescaped"):
            # A second normalizer_spec is merged into the first: escape_whitespaces = false.
            path.write_bytes(path.read_bytes() + spmodels.field_bytes(3, spmodels.varint_field(5, 0)))
        out[name] = (path, spm.SentencePieceProcessor(model_file=str(path)), corvane.Tokenizer.from_sentencepiece(path))
    return out


def char_offsets(text: str, ranges) -> list[tuple[int, int]]:
    """Byte ranges of the UTF-8 text as the character offsets encodings report (a range that
    starts at the end of the text stays as it is)."""
    data = text.encode()
    char_of = []
    for i, ch in enumerate(text):
        char_of.extend([i] * len(ch.encode()))
    out = []
    for b, e in ranges:
        if b >= len(data):
            out.append((b, e))
        else:
            out.append((char_of[b], char_of[e] if e < len(data) else char_of[e - 1] + 1))
    return out


def check(sp, tok, text: str) -> None:
    """Ids, pieces (but the text of unknown runs, see below), each piece's range of the
    input, count and decoded text."""
    ids = sp.encode(text)
    enc = tok.encode(text)
    assert enc.ids == ids, text
    ranges = [(p.begin, p.end) for p in sp.encode(text, return_type="proto").pieces]
    assert enc.offsets == char_offsets(text, ranges), text
    unk = sp.unk_id()
    pieces = sp.encode(text, out_type=str)
    assert [p for p, i in zip(pieces, ids) if i != unk] == [t for t, i in zip(enc.tokens, ids) if i != unk]
    assert tok.count(text) == len(ids)
    assert tok.decode(ids) == sp.decode(ids)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("corpus", spmodels.CORPORA)
def test_corpora(models, name, corpus):
    _, sp, tok = models[name]
    text = spmodels.corpus_text(corpus, start=300_000, size=20_000)
    for line in text.splitlines():
        check(sp, tok, line)
    check(sp, tok, text)  # one text, new lines and all


@pytest.mark.xfail(strict=True, reason="a known difference from sentencepiece, not yet found")
def test_known_difference_on_prose_with_user_defined_pieces(models):
    """The Unigram model with user-defined pieces and no dummy prefix gives other ids than
    sentencepiece on this 20,000-character stretch of the prose corpus, taken whole."""
    _, sp, tok = models["unigram-user-defined-no-dummy-prefix"]
    path = SHARED / "corpus" / "prose.txt"
    if not path.exists():
        pytest.skip("shared test data not available")
    data = path.read_bytes()
    text = data[: data.rindex(b"\n", 0, 128 * 1024) + 1].decode("utf-8")[-20_000:]
    assert tok.encode(text).ids == sp.encode(text)


TRICKY = [
    "", " ", "   ", "\u3000", "\t\n", "▁", "▁▁ ▁", "  leading and  inner   and trailing  ",
    "<sep>foo bar<sep>", "the<sep>the ▁the", "()()( )", "ﬁ ① ｶﾀｶﾅ ™ Å", "e\u0301 a\u0308\u0301",
    "\x00a\x00", "unknown: \U0001F600\U0001F600 ꙮ 𝔘", "<unk> <s> </s> <ctl> <0x41>", "1234567 89",
    "a" * 3000, "ab " * 1000,
]


@pytest.mark.parametrize("name", NAMES)
def test_tricky_texts(models, name):
    _, sp, tok = models[name]
    for text in TRICKY:
        check(sp, tok, text)


text_strategy = st.lists(
    st.one_of(
        st.characters(codec="utf-8"),
        st.sampled_from([" ", "  ", "▁", "\t", "\n", "<sep>", "foo", "the", "e\u0301", "ﬁ", "\u3000"]),
    ),
    max_size=30,
).map("".join)


@pytest.mark.parametrize("name", ["unigram", "bpe-byte-fallback", "unigram-user-defined-no-dummy-prefix",
                                  "bpe-user-defined-extra-whitespace", "unigram-identity-suffix"])
@settings(max_examples=120, deadline=None)
@given(text=text_strategy)
def test_random_unicode(models, name, text):
    _, sp, tok = models[name]
    check(sp, tok, text)


@pytest.mark.parametrize("name", ["unigram-byte-fallback", "bpe-user-defined-extra-whitespace",
                                  "unigram-no-dummy-prefix-unescaped"])
def test_decode_of_any_ids(models, name):
    """Control, unknown and byte ids in any order (byte runs that are not UTF-8 included)."""
    _, sp, tok = models[name]
    rng = random.Random(7)
    n = sp.get_piece_size()
    special = [i for i in range(n) if sp.is_control(i) or sp.is_unknown(i) or sp.is_byte(i)]
    for _ in range(400):
        ids = [rng.choice(special) if rng.random() < 0.5 else rng.randrange(n) for _ in range(rng.randint(0, 12))]
        assert tok.decode(ids) == sp.decode(ids), ids


def test_pieces_of_unknown_runs(models):
    _, sp, tok = models["unigram"]
    text = "\U0001F600\U0001F600 ꙮ"
    assert tok.encode(text).tokens == sp.encode(text, out_type=str)


@pytest.mark.parametrize("name", ["unigram-byte-fallback", "bpe-user-defined-extra-whitespace"])
def test_vocabulary(models, name):
    _, sp, tok = models[name]
    n = sp.get_piece_size()
    assert tok.get_vocab_size() == n
    for i in range(n):
        piece = sp.id_to_piece(i)
        assert tok.id_to_token(i) == piece
        assert tok.token_to_id(piece) == sp.piece_to_id(piece)
    assert tok.get_vocab() == {sp.id_to_piece(i): i for i in range(n)}
    assert tok.token_to_id("no such piece") is None


def test_pickle_and_no_document(models):
    path, sp, tok = models["bpe"]
    tok.enable_truncation(5)
    copy = pickle.loads(pickle.dumps(tok))
    assert copy.encode("the quick brown fox jumps over").ids == sp.encode("the quick brown fox jumps over")[:5]
    tok.no_truncation()
    with pytest.raises(ValueError, match="^a tokenizer loaded from a SentencePiece model has no tokenizer.json"):
        tok.to_str()


def test_loading_errors_name_the_file(tmp_path):
    with pytest.raises(RuntimeError, match="^Cannot open SentencePiece model: "):
        corvane.Tokenizer.from_sentencepiece(tmp_path / "missing.model")


# Converted to tokenizer.json -------------------------------------------------------------

def converted_document(path) -> str:
    """The model converted to a tokenizer.json by transformers' converter of SentencePiece
    models (the way `tokenizers` users get one), saved as text."""
    convert = pytest.importorskip("transformers.convert_slow_tokenizer")
    proto = convert.SentencePieceExtractor(str(path)).proto
    if proto.trainer_spec.model_type == 1:
        vocab = [(p.piece, p.score) for p in proto.pieces]
    else:
        vocab = {p.piece: i for i, p in enumerate(proto.pieces)}
    return convert.SpmConverter.build_tokenizer_from_spm_proto(proto, vocab).to_str()


@pytest.mark.parametrize("name", NAMES)
def test_converted_to_tokenizer_json(models, name):
    """Loaded both ways, the model gives the same ids wherever the converter kept
    SentencePiece's behaviour: on each text, corvane's two loaders agree exactly when
    `tokenizers` (on the converted file) agrees with `sentencepiece`. The converter drops
    some options (whitespace as suffix, no dummy prefix around user symbols) and sums scores
    in double where SentencePiece uses float, which the peers' own disagreements show."""
    tokenizers = pytest.importorskip("tokenizers")
    path, sp, tok = models[name]
    document = converted_document(path)
    peer = tokenizers.Tokenizer.from_str(document)
    ours = corvane.Tokenizer.from_str(document)
    texts = TRICKY + [line for corpus in spmodels.CORPORA
                      for line in spmodels.corpus_text(corpus, start=300_000, size=8_000).splitlines()]
    faithful = 0
    for text in texts:
        ids = ours.encode(text).ids
        assert ids == peer.encode(text).ids, text
        same_peers = peer.encode(text).ids == sp.encode(text)
        assert (ids == tok.encode(text).ids) == same_peers, text
        faithful += same_peers
    # Whitespace as a suffix is the one option the converter loses on most texts.
    assert faithful > len(texts) * (0.2 if name == "unigram-identity-suffix" else 0.9)


# Malformed files ------------------------------------------------------------------------

UNK = spmodels.piece_field("<unk>", 0.0, 2)
A = spmodels.piece_field("a", -1.0)
BYTE_FALLBACK = spmodels.field_bytes(2, spmodels.varint_field(35, 1))
SOME_BYTES = b"".join(spmodels.piece_field(f"<0x{b:02X}>", 0.0, 6) for b in range(250))


def trainer(**fields) -> bytes:
    numbers = {"model_type": 3, "byte_fallback": 35}
    return spmodels.field_bytes(2, b"".join(spmodels.varint_field(numbers[k], v) for k, v in fields.items()))


def normalizer_charsmap(blob: bytes) -> bytes:
    return spmodels.field_bytes(3, spmodels.field_bytes(2, blob))


# (bytes, message, whether sentencepiece refuses the file too)
MALFORMED = [
    (b"", "unk is not defined.", True),
    (A, "unk is not defined.", True),
    (b"\x0a", "truncated varint", True),
    (b"\x0a\x05ab", "truncated length-delimited field", True),
    (b"\x0a" + b"\xff" * 11, "varint longer than 10 bytes", True),
    (b"\x00", "field number 0", True),
    (b"\x0f", "unknown wire type 7", True),
    (b"\x0c", "unexpected end-group tag", True),
    (b"\x0b", "truncated group", True),
    (b"\x0b\x14", "mismatched end-group tag", True),
    (b"\x0b" * 101 + b"\x0c" * 101, "groups nested too deeply", True),
    # A fault inside an early piece is met before one later in the file.
    (spmodels.field_bytes(1, b"\x0a") + b"\x0a\x05ab", "truncated varint", True),
    (UNK + A + A, "a is already defined.", True),
    (UNK + UNK, "<unk> is already defined.", True),
    (UNK + spmodels.piece_field("<u2>", 0.0, 2), "unk is already defined.", True),
    (UNK + spmodels.piece_field("", 0.0), "piece must not be empty.", True),
    # The first fault in id order is the one reported, whatever comes after it.
    (UNK + spmodels.piece_field("", 0.0) + A + A, "piece must not be empty.", True),
    (UNK + UNK + A + A, "<unk> is already defined.", True),
    (UNK + A + A + UNK, "a is already defined.", True),
    (UNK + A + spmodels.piece_field("", 0.0) + spmodels.piece_field("", 0.0), "piece must not be empty.", True),
    (UNK + spmodels.piece_field("<0x41>", 0.0, 6), "byte piece <0x41> is found although `byte_fallback` is false.", True),
    (UNK + A + spmodels.piece_field("<0x4g>", 0.0, 6) + BYTE_FALLBACK, "byte piece <0x4g> is invalid.", True),
    (UNK + A + SOME_BYTES + BYTE_FALLBACK, "there are not 256 byte pieces although `byte_fallback` is true.", True),
    (UNK + spmodels.piece_field("<s>", 0.0, 3), "no pieces are loaded.", True),
    (UNK + A + normalizer_charsmap(b"\x01\x00"), "invalid precompiled_charsmap: shorter than its 4-byte header", True),
    (UNK + A + normalizer_charsmap(b"\x08\x00\x00\x00abcd"), "invalid precompiled_charsmap: trie size 8 exceeds the data", True),
    (UNK + A + normalizer_charsmap(struct.pack("<II", 4, 0xFFFFFC00)), "invalid precompiled_charsmap: the root's children lie outside the trie", False),
    (UNK + spmodels.piece_field("a\x00b", -1.0), "piece 1 holds a NUL byte", False),
    (UNK + spmodels.field_bytes(1, spmodels.field_bytes(1, b"\xff")), "piece 1 is not valid UTF-8", False),
]


@pytest.mark.parametrize("data, message, peer_refuses", MALFORMED)
def test_malformed_models(tmp_path, data, message, peer_refuses):
    path = tmp_path / "bad.model"
    path.write_bytes(data)
    with pytest.raises(ValueError) as info:
        corvane.Tokenizer.from_sentencepiece(path)
    assert str(info.value) == "invalid SentencePiece model: " + message
    if peer_refuses:
        with pytest.raises(Exception):
            spm.SentencePieceProcessor(model_file=str(path))


@pytest.mark.parametrize("model_type, name", [(3, "WORD"), (4, "CHAR")])
def test_unsupported_model_types(tmp_path, model_type, name):
    path = tmp_path / "word.model"
    path.write_bytes(UNK + A + trainer(model_type=model_type))
    with pytest.raises(ValueError, match=f"^unsupported SentencePiece model type {name}$"):
        corvane.Tokenizer.from_sentencepiece(path)


def test_schema_rules_of_the_reader(tmp_path, models):
    """What the protobuf runtime does: unknown fields and wire types skipped, enum values it
    does not know ignored, a repeated message field merged, the last scalar winning."""
    path, sp, _ = models["unigram"]
    data = path.read_bytes()
    extra = (spmodels.field_bytes(99, b"anything") + spmodels.varint_field(98, 5) + b"\x0b\x08\x01\x0c"
             + trainer(byte_fallback=0) + spmodels.varint_field(1, 3) + spmodels.field_bytes(3, b""))
    odd = tmp_path / "odd.model"
    odd.write_bytes(data + extra)
    peer = spm.SentencePieceProcessor(model_file=str(odd))
    ours = corvane.Tokenizer.from_sentencepiece(odd)
    text = spmodels.corpus_text("prose", 100_000, 3_000)
    assert ours.encode(text).ids == peer.encode(text) == sp.encode(text)


def test_every_truncation_of_a_model_loads_or_fails_cleanly(models):
    data = models["bpe-byte-fallback"][0].read_bytes()
    rng = random.Random(3)
    cuts = sorted(rng.sample(range(len(data)), 300)) + list(range(64))
    for cut in cuts:
        try:
            tok = corvane.Tokenizer.from_sentencepiece(_write(data[:cut]))
        except ValueError as e:
            assert str(e).startswith("invalid SentencePiece model: "), str(e)
        else:
            tok.encode("some text ▁ \U0001F600")


def _write(data: bytes):
    import tempfile

    f = tempfile.NamedTemporaryFile(suffix=".model", delete=False)
    f.write(data)
    f.close()
    return f.name


def test_long_and_hostile_inputs(models):
    for name in ("unigram", "bpe-byte-fallback"):
        _, sp, tok = models[name]
        for text in ["a" * 200_000, "▁" * 50_000, " " * 100_000 + "x", "\U0001F600" * 20_000,
                     "ab" * 100_000, "".join(chr(c) for c in range(0x20, 0x3000))]:
            assert tok.encode(text).ids == sp.encode(text)


@pytest.mark.parametrize("name", ["unigram", "bpe", "bpe-across-words"])
def test_more_distinct_words_than_the_word_cache_holds(models, name):
    # 150,000 different words, 50 to a line, pass the bound of the cache that each thread
    # keeps across calls (it starts over when full).
    _, sp, tok = models[name]
    words = distinct_words(150_000)
    lines = [" ".join(words[i : i + 50]) for i in range(0, len(words), 50)]
    for _ in range(2):
        assert [tok.encode(line).ids for line in lines] == [sp.encode(line) for line in lines]


# SentencePiece adds scores in float along the whole text, so the same word can segment
# differently deep into a long text, where the running total's rounding swamps a small lead.
# Here "▁a"+"b" leads "▁"+"ab" by 2^-10; far enough in, both round to the same total and the
# path found first ("ab", from the earlier start) keeps the place. (Totals stay below 10^5
# in size: beyond that sentencepiece takes "▁a"+"b" again, which its float search does not
# explain.)
NEAR_TIE = (spmodels.piece_field("<unk>", 0.0, 2) + spmodels.piece_field("▁x", -10.123)
            + spmodels.piece_field("▁a", -3.0) + spmodels.piece_field("b", -2.0)
            + spmodels.piece_field("▁", -1.0) + spmodels.piece_field("ab", -4.0009765625)
            + spmodels.piece_field("a", -30.0) + spmodels.piece_field("x", -30.0))


def test_segmentation_follows_the_rounding_of_the_running_total(tmp_path):
    path = tmp_path / "near-tie.model"
    path.write_bytes(NEAR_TIE)
    sp, tok = spm.SentencePieceProcessor(model_file=str(path)), corvane.Tokenizer.from_sentencepiece(path)
    seen = set()
    for n in [0, 1, 10, 100, 1000, 2000, 3000, 3001, 3002, 5000, 7000, 9000]:
        for text in ["ab " + "x " * n + "ab", "x " * n + "ab ab x ab"]:
            ids = sp.encode(text)
            assert tok.encode(text).ids == ids, n
            assert tok.count(text) == len(ids)
            seen.update(tuple(ids[k:k + 2]) for k in range(len(ids) - 1) if sp.id_to_piece(ids[k]) in ("▁a", "▁"))
    # Both segmentations of "▁ab" occur, or the texts test nothing.
    assert {(2, 3), (4, 5)} <= seen


def test_command_line_tool(models, tmp_path):
    from test_cli import ok

    path, sp, _ = models["unigram-byte-fallback"]
    text = spmodels.corpus_text("multilingual", 50_000, 5_000)
    src = tmp_path / "in.txt"
    src.write_text(text, encoding="utf-8")
    ids = sp.encode(text)
    assert ok("encode", "--sentencepiece", path, src).split() == [str(i).encode() for i in ids]
    assert ok("count", "--sentencepiece", path, src).splitlines()[0] == f"{len(ids)}\t{src}".encode()
    assert ok("decode", "--sentencepiece", path, *ids[:200]) == sp.decode(ids[:200]).encode()
