"""Pickling, copy.copy and copy.deepcopy of the three classes.

A restored tokenizer must behave exactly like the one pickled: the same ids, counts and
decoded bytes on every input, with both directions of the token table as loaded (repeated
tokens, repeated, sparse and negative ids, tokens that are not UTF-8). Malformed states are
refused with ValueError and never crash.

The saved form is documented in the engine (vocabulary.cc, bpe_tokenizer.cc); the helpers
below write it independently, to build states the engine would never produce.
"""
from __future__ import annotations

import base64
import copy
import json
import os
import pickle
import random
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import bert_vocab
from conftest import shared_file
from rank_file_support import write_rank_file

from corvane_core import BPETokenizer, Compressor, WordPieceTokenizer

PROTOCOLS = [2, 3, 4, 5]
HYPO = settings(deadline=None, max_examples=60, suppress_health_check=[HealthCheck.function_scoped_fixture])


# ---------------------------------------------------------------------------------------
# Copies
# ---------------------------------------------------------------------------------------

COPIERS = {f"pickle{p}": (lambda obj, p=p: pickle.loads(pickle.dumps(obj, protocol=p))) for p in PROTOCOLS}
COPIERS["deepcopy"] = copy.deepcopy
COPIERS["copy"] = copy.copy


def all_copies(obj):
    """Each kind of copy of obj, checked to be a new object of the same class."""
    out = {}
    for name, fn in COPIERS.items():
        c = fn(obj)
        assert type(c) is type(obj) and c is not obj, name
        out[name] = c
    return out


# ---------------------------------------------------------------------------------------
# Observing a tokenizer
# ---------------------------------------------------------------------------------------


def id_probe(ids) -> list[int]:
    """The ids to decode one by one: every given id and its neighbours, and the extremes."""
    probe = {-(2**31), 2**31 - 1, 0, -1, 100}
    for i in ids:
        probe.update((i - 1, i, i + 1))
    return sorted(i for i in probe if -(2**31) <= i < 2**31)


def behaviour(tok, texts, ids):
    """Everything observable about `tok` on `texts` and on decoding `ids` one at a time."""
    encoded = [tok.encode(t) for t in texts]
    return {
        "encode": encoded,
        "count": [tok.count(t) for t in texts],
        "decode_bytes": [tok.decode_bytes(e) for e in encoded],
        "each_id": [tok.decode_bytes([i]) for i in ids],
        "all_ids": tok.decode_bytes(ids),
    }


def assert_same_behaviour(original, texts, ids):
    expected = behaviour(original, texts, ids)
    for name, restored in all_copies(original).items():
        got = behaviour(restored, texts, ids)
        for key in expected:
            assert got[key] == expected[key], f"{name}: {key} differs"
        # The saved form is canonical: a restored object saves to the same state.
        assert restored.__getstate__() == original.__getstate__(), name


# ---------------------------------------------------------------------------------------
# Shared corpora and real vocabularies
# ---------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def corpus_texts():
    texts = []
    for name in ("prose", "code", "multilingual"):
        data = shared_file("corpus", f"{name}.txt").read_bytes()
        texts.append(data)
        # A sample of lines as well: short texts take the shortcuts of whole tokens.
        lines = data.splitlines(keepends=True)
        texts.extend(random.Random(name).sample(lines, 200))
    return texts


def rank_file_tokens(path) -> list[bytes]:
    return [base64.b64decode(line.split()[0]) for line in path.read_bytes().splitlines() if line]


@pytest.mark.parametrize("name", ["r50k_base.tiktoken", "cl100k_base.tiktoken"])
def test_rank_file_tokenizers_round_trip(name, corpus_texts):
    path = shared_file(name)
    tok = BPETokenizer.from_tiktoken_file(path)
    tokens = rank_file_tokens(path)
    ids = id_probe(range(len(tokens) + 300))
    # Every token text on its own, and the corpora.
    assert_same_behaviour(tok, corpus_texts + tokens[::7], ids)


def test_hf_json_tokenizer_round_trips(corpus_texts):
    path = shared_file("gpt2-tokenizer.json")
    tok = BPETokenizer.from_hf_json(path)
    vocab = json.loads(path.read_text(encoding="utf-8"))["model"]["vocab"]
    ids = id_probe(vocab.values())
    words = [k.replace("\u0120", " ").encode("utf-8", "surrogatepass") for k in list(vocab)[::11]]
    assert_same_behaviour(tok, corpus_texts + words, ids)


@pytest.fixture(scope="module")
def bert_path():
    try:
        return bert_vocab.fetch()
    except bert_vocab.Unavailable as exc:
        pytest.skip(f"BERT vocab.txt not available: {exc}")


def test_wordpiece_round_trips(bert_path, corpus_texts):
    tok = WordPieceTokenizer(bert_path)
    lines = bert_path.read_bytes().split(b"\n")
    ids = id_probe(range(len(lines)))
    assert_same_behaviour(tok, corpus_texts + [b"un" + line for line in lines[::13]], ids)


def test_empty_bpe_tokenizer_round_trips():
    empty = BPETokenizer()
    for name, restored in all_copies(empty).items():
        assert not restored.is_loaded(), name
        assert restored.encode("the quick  brown fox") == [0, 1, 2, 3], name
        assert restored.count(b"a \xff b") == 3, name
        assert restored.decode_bytes([0, 1, 2]) == b"", name


def test_compressor_round_trips():
    text = shared_file("corpus", "prose.txt").read_text(encoding="utf-8")
    original = Compressor()
    packed = original.compress(text)
    for name, restored in all_copies(original).items():
        assert restored.compress(text) == packed, name
        assert restored.decompress(packed) == original.decompress(packed), name


def test_restored_in_another_process(tmp_path):
    """The state carries everything: a fresh interpreter rebuilds the same tokenizer."""
    path = shared_file("gpt2-tokenizer.json")
    tok = BPETokenizer.from_hf_json(path)
    text = shared_file("corpus", "code.txt").read_text(encoding="utf-8")[:50_000]
    (tmp_path / "tok.pickle").write_bytes(pickle.dumps(tok))
    script = textwrap.dedent(f"""
        import pickle, sys
        tok = pickle.loads(open({str(tmp_path / 'tok.pickle')!r}, 'rb').read())
        text = open({str(tmp_path / 'text.txt')!r}, encoding='utf-8').read()
        print(repr(tok.encode(text)))
    """)
    (tmp_path / "text.txt").write_text(text, encoding="utf-8")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, check=True)
    assert eval(out.stdout) == tok.encode(text)


# ---------------------------------------------------------------------------------------
# State size
# ---------------------------------------------------------------------------------------


def test_rank_file_state_is_compact():
    for name in ("r50k_base.tiktoken", "cl100k_base.tiktoken"):
        path = shared_file(name)
        token_bytes = sum(len(t) for t in rank_file_tokens(path))
        size = len(pickle.dumps(BPETokenizer.from_tiktoken_file(path), protocol=5))
        assert size <= 1.5 * token_bytes, (name, size, token_bytes)


def test_hf_json_state_is_compact():
    path = shared_file("gpt2-tokenizer.json")
    model = json.loads(path.read_text(encoding="utf-8"))["model"]
    token_bytes = sum(len(k.encode()) for k in model["vocab"]) + sum(len(m.encode()) for m in model["merges"])
    size = len(pickle.dumps(BPETokenizer.from_hf_json(path), protocol=5))
    assert size <= 1.5 * token_bytes, (size, token_bytes)


def test_wordpiece_state_is_compact(bert_path):
    size = len(pickle.dumps(WordPieceTokenizer(bert_path), protocol=5))
    assert size <= 1.5 * bert_path.stat().st_size


def test_compressor_state_is_trivial():
    assert len(pickle.dumps(Compressor(), protocol=5)) < 100


# ---------------------------------------------------------------------------------------
# Hand-made vocabularies: repeated tokens and ids, sparse and negative ids, non-UTF-8
# ---------------------------------------------------------------------------------------

ODD_RANK_ENTRIES = [
    (b"a", 1), (b"b", 2), (b"ab", 7),
    (b"a", 9),                      # the same token again: "a" -> 9, and 1 and 9 both decode to "a"
    (b"c", 2),                      # the same id again: 2 now decodes to "c", "b" still encodes to 2
    (b"\xff\xfe", -5),              # not UTF-8, negative id
    (b"\xc3", 1_000_000),           # half a character, far-off id
    (b"\xa9", -2_147_483_648),
    (b"", 2_147_483_647),           # the empty token
    (b" ", 40), (b" a", 41), (b"ba", 41),
    # "pqrs" is a token that merging cannot reach (it sticks at p, qr, s): only the rule
    # that a whole pre-token which is a token is that token gives its id.
    (b"p", 60), (b"q", 61), (b"r", 62), (b"s", 63), (b"qr", 70), (b"pq", 71), (b"rs", 72), (b"pqrs", 99),
]
ODD_TEXTS = [b"", b"a", b"ab", b"abcab", b"ba ab", b"\xff\xfe\xff", "é".encode(), b"\xc3\xa9\xc3", b" a b c ",
             b"pqrs", b"pqrsp"]


def test_odd_rank_file_round_trips(tmp_path):
    tok = BPETokenizer.from_tiktoken_file(write_rank_file(tmp_path, ODD_RANK_ENTRIES))
    ids = id_probe([r for _, r in ODD_RANK_ENTRIES])
    # Hand-checked: both directions as loaded.
    assert tok.decode_bytes([1, 9, 2, -5, 1_000_000, -2_147_483_648, 2_147_483_647, 41]) == b"aac\xff\xfe\xc3\xa9ba"
    assert tok.encode(b"a") == [9] and tok.encode(b"b") == [2]
    assert tok.encode(b"pqrs") == [99] and tok.encode(b"pqrsp") == [60, 70, 63, 60]
    assert_same_behaviour(tok, ODD_TEXTS, ids)


def raw_json(vocab_pairs, merges, byte_level=False) -> str:
    """A tokenizer.json whose vocabulary object may repeat keys (JSON allows it)."""
    members = ", ".join(f"{json.dumps(k)}: {v}" for k, v in vocab_pairs)
    head = '"pre_tokenizer": {"type": "ByteLevel"}, ' if byte_level else ""
    return "{" + head + '"model": {"vocab": {' + members + "}, " + f'"merges": {json.dumps(merges)}' + "}}"


def test_odd_hf_json_round_trips(tmp_path):
    vocab = [("a", 1), ("b", 2), ("ab", 7), ("a", 9), ("c", 2), ("abc", -3), ("bc", 1_000_000),
             ("é", 5), ("x y", 11)]
    merges = ["a b", "ab c", "b c", "a b", " a", "x y", "q r", "é a"]  # a repeated rule, an empty left part
    path = tmp_path / "odd.json"
    path.write_text(raw_json(vocab, merges), encoding="utf-8")
    tok = BPETokenizer.from_hf_json(path)
    texts = ODD_TEXTS + [b"abc", b"aabcbc", "éa".encode(), b"qr", b"x y"]
    assert_same_behaviour(tok, texts, id_probe([v for _, v in vocab]))


def test_byte_level_hf_json_with_non_utf8_tokens_round_trips(tmp_path):
    # Byte-level stand-ins: "ÿ" is byte 0xFF, "þ" 0xFE, "Ã" 0xC3, "©" 0xA9.
    vocab = [("ÿ", 0), ("þ", 1), ("ÿþ", 2), ("Ã", 3), ("©", 4), ("Ã©", 5), ("a", 6)]
    path = tmp_path / "bytes.json"
    path.write_text(raw_json(vocab, ["ÿ þ", "Ã ©"], byte_level=True), encoding="utf-8")
    tok = BPETokenizer.from_hf_json(path)
    assert tok.decode_bytes([2, 5]) == b"\xff\xfe\xc3\xa9"
    with pytest.raises(UnicodeDecodeError):
        tok.decode([2])
    assert_same_behaviour(tok, ODD_TEXTS, id_probe(range(8)))


def test_odd_wordpiece_round_trips(tmp_path):
    lines = [b"un", b"##aff", b"", b"##able", b"un", b"\xff", b"##\xfe", b"##", b"x y", b"[UNK]"]
    path = tmp_path / "vocab.txt"
    path.write_bytes(b"\n".join(lines))
    tok = WordPieceTokenizer(path)
    texts = [b"unaffable un", b"\xff\xfe", b"x y", b"##", b"", b"unable\tun\xff"]
    assert tok.decode_bytes([0, 4, 5, 6]) == b"un un \xff\xfe"
    assert_same_behaviour(tok, texts, id_probe(range(len(lines))))


# Random rank files: tokens over a tiny alphabet (so that they collide and merge), ranks
# from a small range with some far-off ones, repeats of both allowed.
rank_entries = st.lists(
    st.tuples(st.binary(min_size=0, max_size=4).map(lambda b: bytes(x % 3 + 97 if x < 200 else x for x in b)),
              st.one_of(st.integers(-4, 40), st.integers(-(2**31), 2**31 - 1))),
    min_size=1, max_size=40)
texts_strategy = st.lists(st.binary(max_size=30).map(lambda b: bytes(x % 4 + 97 if x < 200 else x for x in b)),
                          max_size=6)


@HYPO
@given(entries=rank_entries, texts=texts_strategy)
def test_random_rank_files_round_trip(tmp_path, entries, texts):
    tok = BPETokenizer.from_tiktoken_file(write_rank_file(tmp_path, entries))
    ids = id_probe([r for _, r in entries])
    restored = pickle.loads(pickle.dumps(tok))
    assert behaviour(restored, texts, ids) == behaviour(tok, texts, ids)
    assert restored.__getstate__() == tok.__getstate__()


@HYPO
@given(vocab=st.lists(st.tuples(st.text("abc\u00e9", min_size=1, max_size=4), st.integers(-3, 30)), min_size=1, max_size=25),
       merges=st.lists(st.tuples(st.text("abc\u00e9", max_size=3), st.text("abc\u00e9", min_size=1, max_size=3)), max_size=25),
       texts=st.lists(st.text("abc\u00e9 ", max_size=30), max_size=6))
def test_random_hf_json_round_trip(tmp_path, vocab, merges, texts):
    path = tmp_path / "random.json"
    path.write_text(raw_json(vocab, [f"{a} {b}" for a, b in merges]), encoding="utf-8")
    tok = BPETokenizer.from_hf_json(path)
    ids = id_probe([v for _, v in vocab])
    restored = copy.deepcopy(tok)
    assert behaviour(restored, texts, ids) == behaviour(tok, texts, ids)
    assert restored.__getstate__() == tok.__getstate__()


# ---------------------------------------------------------------------------------------
# Malformed states
# ---------------------------------------------------------------------------------------


def fresh(cls):
    """An instance that has not been initialised, as pickle makes one before __setstate__."""
    return cls.__new__(cls)


def small_tokenizers(tmp_path):
    vocab = tmp_path / "v.txt"
    vocab.write_bytes(b"un\n##aff\n##able\n")
    hf = tmp_path / "t.json"
    hf.write_text(raw_json([("a", 0), ("b", 1), ("ab", 2), ("abc", 3), ("c", 4)], ["a b", "ab c", "b c"]))
    return {
        "BPETokenizer": BPETokenizer.from_hf_json(hf),
        "WordPieceTokenizer": WordPieceTokenizer(vocab),
    }


@pytest.mark.parametrize("state", [None, 1, "x", b"x", (), (1,), (2, b""), (1, "text"), (1, bytearray(b"CVBP")),
                                   (True, b""), (1, b"", 3), [1, b""], (1.0, b""), (2**80, b"")], ids=repr)
@pytest.mark.parametrize("cls", [BPETokenizer, WordPieceTokenizer])
def test_state_of_the_wrong_shape(cls, state):
    with pytest.raises(ValueError, match=f"^invalid {cls.__name__} pickle state"):
        fresh(cls).__setstate__(state)


@pytest.mark.parametrize("state", [None, (), (2,), (1, b""), ("1",), [1], (True,)], ids=repr)
def test_compressor_state_of_the_wrong_shape(state):
    with pytest.raises(ValueError, match="^invalid Compressor pickle state"):
        fresh(Compressor).__setstate__(state)


def test_every_truncation_and_every_flipped_byte_is_refused(tmp_path):
    for name, tok in small_tokenizers(tmp_path).items():
        version, data = tok.__getstate__()
        message = f"^invalid {name} pickle state: "
        for n in range(len(data)):
            with pytest.raises(ValueError, match=message):
                fresh(type(tok)).__setstate__((version, data[:n]))
        for i in range(len(data)):
            flipped = bytearray(data)
            flipped[i] ^= 0x41
            with pytest.raises(ValueError, match=message):
                fresh(type(tok)).__setstate__((version, bytes(flipped)))
        with pytest.raises(ValueError, match=message + "checksum mismatch|" + message + "trailing"):
            fresh(type(tok)).__setstate__((version, data + b"\x00"))


def test_state_of_the_other_class_is_refused(tmp_path):
    toks = small_tokenizers(tmp_path)
    bpe_state = toks["BPETokenizer"].__getstate__()
    wp_state = toks["WordPieceTokenizer"].__getstate__()
    with pytest.raises(ValueError, match="wrong magic"):
        fresh(WordPieceTokenizer).__setstate__(bpe_state)
    with pytest.raises(ValueError, match="wrong magic"):
        fresh(BPETokenizer).__setstate__(wp_state)


# An independent writer of the saved form, to build states with a valid checksum but
# content the engine must refuse (or accept and use safely).

def varint(n: int) -> bytes:
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def svarint(v: int) -> bytes:
    return varint((v << 1) ^ (v >> 63) if v < 0 else v << 1)


def fnv1a64(data: bytes) -> int:
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def sealed(magic: bytes, body: bytes, version: int = 1) -> tuple[int, bytes]:
    covered = magic + bytes([version]) + body
    return (1, covered + fnv1a64(covered).to_bytes(8, "little"))


def vocab_block(entries, extra=()) -> bytes:
    """entries: (text, id) in saved order; extra: (id, entry) pairs."""
    out = bytearray(varint(len(entries)))
    prev = -1
    for text, i in entries:
        out += varint(len(text)) + text + svarint(i - prev - 1)
        prev = i
    out += varint(len(extra))
    prev = -1
    for i, e in extra:
        out += svarint(i - prev - 1) + varint(e)
        prev = i
    return bytes(out)


def bpe_state(rule: int, entries, extra=(), rules=b"\x00") -> tuple[int, bytes]:
    return sealed(b"CVBP", bytes([rule]) + vocab_block(entries, extra) + rules)


def test_hand_written_states_restore():
    # A rank-file tokenizer with ids 5 and 6, where id 9 also decodes to "a".
    tok = fresh(BPETokenizer)
    tok.__setstate__(bpe_state(0, [(b"a", 5), (b"b", 6), (b"ab", 7)], extra=[(9, 0)]))
    assert tok.is_loaded()
    assert tok.encode("ab") == [7] and tok.encode("ba") == [6, 5] and tok.encode("aab") == [5, 7]
    assert tok.decode_bytes([9, 5, 6, 8]) == b"aab"
    # A merge-list tokenizer: rule "a b" (rank 0) written as a reference to entry 2 split
    # after one byte, rule "b c" (rank 1) written as texts.
    rules = varint(2) + svarint(0) + varint(svarint(2)[0] << 1) + varint(1) + svarint(0) + varint(1) + b"\x01b\x01c"
    tok = fresh(BPETokenizer)
    tok.__setstate__(bpe_state(1, [(b"a", 0), (b"b", 1), (b"ab", 2), (b"c", 3), (b"bc", 4)], rules=rules))
    assert tok.encode("ab") == [2] and tok.encode("bc") == [4] and tok.encode("abc") == [2, 3]


@pytest.mark.parametrize("state, reason", [
    (bpe_state(0, [(b"a", 1), (b"a", 2)]), "repeated token"),
    (bpe_state(0, [(b"a", 1)], extra=[(3, 1)]), "entry out of range"),
    (bpe_state(2, [(b"a", 1)]), "unknown pair rule"),
    (bpe_state(0, [(b"a", 1)], rules=varint(1) + svarint(0) + varint(1) + b"\x01a\x01a"), "merge rules without a merge list"),
    (bpe_state(1, [(b"a", 1)], rules=varint(1) + svarint(0) + varint(3)), "unknown rule form"),
    (bpe_state(1, [(b"a", 1)], rules=varint(1) + svarint(0) + varint(svarint(1)[0] << 1) + varint(0)), "entry out of range"),
    (bpe_state(1, [(b"a", 1)], rules=varint(1) + svarint(0) + varint(0) + varint(2)), "split beyond the token"),
    (bpe_state(1, []), "tables without a vocabulary"),
    (sealed(b"CVBP", b"\x00" + varint(1) + varint(1) + b"a" + svarint(2**31)), "value out of range"),
    (sealed(b"CVBP", b"\x00" + varint(1) + varint(1) + b"a" + svarint(2**40)), "value out of range"),
    (sealed(b"CVBP", b"\x00" + varint(1) + varint(1) + b"a" + b"\xff" * 11), "number too large"),
    (sealed(b"CVBP", b"\x00" + varint(10**6) + b"\x00" * 8), "truncated"),
    (sealed(b"CVBP", b"\x00" + varint(1) + varint(100) + b"a\x00"), "truncated"),
    (sealed(b"CVBP", b"\x00" + varint(2**64 - 1)), "truncated"),
    (sealed(b"CVBP", bpe_state(0, [(b"a", 1)])[1][5:-8], version=2), "unknown version"),
    (sealed(b"CVBP", bpe_state(0, [(b"a", 1)])[1][5:-8] + b"\x00"), "trailing bytes"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_inconsistent_bpe_states(state, reason):
    with pytest.raises(ValueError, match=f"^invalid BPETokenizer pickle state: {reason}$"):
        fresh(BPETokenizer).__setstate__(state)


@pytest.mark.parametrize("state, reason", [
    (sealed(b"CVWP", vocab_block([])), "empty vocabulary"),
    (sealed(b"CVWP", vocab_block([(b"un", 0), (b"un", 1)])), "repeated token"),
    (sealed(b"CVWP", vocab_block([(b"un", 0)], extra=[(1, 5)])), "entry out of range"),
    (sealed(b"CVWP", vocab_block([(b"un", 0)]) + b"\x00"), "trailing bytes"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_inconsistent_wordpiece_states(state, reason):
    with pytest.raises(ValueError, match=f"^invalid WordPieceTokenizer pickle state: {reason}$"):
        fresh(WordPieceTokenizer).__setstate__(state)


def use(tok) -> None:
    """Exercises every method of a restored tokenizer."""
    for text in (b"", b"abc ab\xff", b"un##aff  able" * 3):
        ids = tok.encode(text)
        assert tok.count(text) == len(ids)
        tok.decode_bytes(ids + [0, 1, -1, 2**31 - 1])
    tok.__getstate__()


@settings(deadline=None, max_examples=300)
@given(body=st.binary(max_size=200), magic=st.sampled_from([b"CVBP", b"CVWP"]))
def test_random_bodies_with_a_valid_checksum_never_crash(body, magic):
    cls = BPETokenizer if magic == b"CVBP" else WordPieceTokenizer
    tok = fresh(cls)
    try:
        tok.__setstate__(sealed(magic, body))
    except ValueError as exc:
        assert str(exc).startswith(f"invalid {cls.__name__} pickle state: ")
        return
    use(tok)


@settings(deadline=None, max_examples=300, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_mutated_states_with_a_valid_checksum_never_crash(tmp_path_factory, data):
    folder = tmp_path_factory.mktemp("mutate", numbered=True)
    toks = small_tokenizers(folder)
    name = data.draw(st.sampled_from(sorted(toks)))
    magic = b"CVBP" if name == "BPETokenizer" else b"CVWP"
    body = bytearray(toks[name].__getstate__()[1][5:-8])
    for _ in range(data.draw(st.integers(1, 4))):
        pos = data.draw(st.integers(0, len(body)))
        op = data.draw(st.sampled_from(["set", "insert", "delete"]))
        value = data.draw(st.integers(0, 255))
        if op == "insert":
            body.insert(pos, value)
        elif pos < len(body):
            if op == "set":
                body[pos] = value
            else:
                del body[pos]
    cls = type(toks[name])
    tok = fresh(cls)
    try:
        tok.__setstate__(sealed(magic, bytes(body)))
    except ValueError as exc:
        assert str(exc).startswith(f"invalid {name} pickle state: ")
        return
    use(tok)


@settings(deadline=None, max_examples=100)
@given(garbage=st.binary(max_size=64))
def test_garbage_is_refused(garbage):
    for cls in (BPETokenizer, WordPieceTokenizer):
        with pytest.raises(ValueError, match=f"^invalid {cls.__name__} pickle state: "):
            fresh(cls).__setstate__((1, garbage))


def test_setstate_on_a_live_object_changes_nothing(tmp_path):
    toks = small_tokenizers(tmp_path)
    bpe, wp = toks["BPETokenizer"], toks["WordPieceTokenizer"]
    before = bpe.encode("abc")
    bpe.__setstate__(BPETokenizer().__getstate__())
    assert bpe.encode("abc") == before and bpe.is_loaded()
    before = wp.encode("unaffable")
    wp.__setstate__((1, b"garbage"))
    assert wp.encode("unaffable") == before
