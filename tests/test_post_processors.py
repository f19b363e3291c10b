"""Post-processors of tokenizer.json files against HuggingFace tokenizers' own.

Encodings are given to both sides as the same fields: tokenizers builds its Encoding from
them through its pickled state (JSON), corvane_core.PostProcessor takes them as a dict. The
merged results are compared field by field, overflowing parts and sequence ids included.
"""
from __future__ import annotations

import json
import os
import pickle

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import shared_file
from corvane_core import PostProcessor

tokenizers = pytest.importorskip("tokenizers")
from tokenizers import Encoding  # noqa: E402
from tokenizers import processors as hf  # noqa: E402

FIELDS = ("ids", "type_ids", "tokens", "words", "offsets", "special_tokens_mask", "attention_mask")


def hf_encoding(record: dict) -> Encoding:
    state = {
        "ids": record["ids"],
        "type_ids": record.get("type_ids", [0] * len(record["ids"])),
        "tokens": record["tokens"],
        "words": record.get("words", [None] * len(record["ids"])),
        "offsets": [list(o) for o in record["offsets"]],
        "special_tokens_mask": record.get("special_tokens_mask", [0] * len(record["ids"])),
        "attention_mask": record.get("attention_mask", [1] * len(record["ids"])),
        "overflowing": [json.loads(hf_encoding(o).__getstate__()) for o in record.get("overflowing", [])],
        "sequence_ranges": {str(k): {"start": s, "end": e} for k, (s, e) in record.get("sequence_ranges", {}).items()},
    }
    e = Encoding.__new__(Encoding)
    e.__setstate__(json.dumps(state).encode())
    return e


def as_record(e: Encoding) -> dict:
    """An Encoding of tokenizers in the form PostProcessor.process returns."""
    state = json.loads(e.__getstate__())
    return record_of_state(state, e.sequence_ids)


def record_of_state(state: dict, sequence_ids) -> dict:
    out = {k: state[k] for k in FIELDS}
    out["offsets"] = [tuple(o) for o in state["offsets"]]
    out["sequence_ranges"] = {int(k): (v["start"], v["end"]) for k, v in state["sequence_ranges"].items()}
    out["sequence_ids"] = list(sequence_ids)
    parts = []
    for o in state["overflowing"]:
        part = Encoding.__new__(Encoding)
        part.__setstate__(json.dumps(o).encode())
        parts.append(record_of_state(o, part.sequence_ids))
    out["overflowing"] = parts
    return out


def ours_of(reference) -> PostProcessor:
    return PostProcessor.from_json(reference.__getstate__())


def compare(reference, encoding: dict, pair: dict | None, add_special_tokens: bool):
    expected = as_record(reference.process(hf_encoding(encoding), None if pair is None else hf_encoding(pair),
                                           add_special_tokens))
    got = ours_of(reference).process(encoding, pair, add_special_tokens)
    assert got == expected


SPECIALS = [("[CLS]", 101), ("[SEP]", 102)]
MULTI = {"id": "<tri>", "ids": [7, 8, 9], "tokens": ["<", "tri", ">"]}

# Every component and option, as tokenizers builds it.
CONFIGS = {
    "template_bert": hf.TemplateProcessing(single="[CLS] $A [SEP]", pair="[CLS] $A [SEP] $B:1 [SEP]:1",
                                           special_tokens=SPECIALS),
    "template_type_ids": hf.TemplateProcessing(single="$0 [SEP]:2", pair="[CLS]:3 $A:4 [SEP] $B:5",
                                               special_tokens=SPECIALS),
    "template_multi_id_token": hf.TemplateProcessing(single="<tri> $A <tri>:1", pair="$A <tri> $B:1",
                                                     special_tokens=[MULTI]),
    "template_repeats": hf.TemplateProcessing(single="$A [SEP] $A:1", pair="$B:1 [SEP] $A $B:2 $A:3",
                                              special_tokens=SPECIALS),
    "template_plain": hf.TemplateProcessing(single="$A", pair="$A $B:1"),
    "bert": hf.BertProcessing(("[SEP]", 102), ("[CLS]", 101)),
    "roberta": hf.RobertaProcessing(("</s>", 2), ("<s>", 0)),
    "roberta_no_trim": hf.RobertaProcessing(("</s>", 2), ("<s>", 0), trim_offsets=False),
    "roberta_no_prefix_space": hf.RobertaProcessing(("</s>", 2), ("<s>", 0), trim_offsets=True, add_prefix_space=False),
    "byte_level": hf.ByteLevel(trim_offsets=True),
    "byte_level_no_prefix_space": hf.ByteLevel(add_prefix_space=False, trim_offsets=True),
    "byte_level_no_trim": hf.ByteLevel(trim_offsets=False),
    # Llama 3 writes this pair: offsets trimmed, then the template.
    "sequence_byte_level_template": hf.Sequence([hf.ByteLevel(trim_offsets=True),
                                                 hf.TemplateProcessing(single="[CLS] $A", pair="[CLS] $A [CLS] $B:1",
                                                                       special_tokens=SPECIALS)]),
    # The template's pieces reach the next step as separate encodings.
    "sequence_template_byte_level": hf.Sequence([hf.TemplateProcessing(single="[CLS] $A [SEP]", pair="$A [SEP] $B:1",
                                                                       special_tokens=SPECIALS),
                                                 hf.ByteLevel(trim_offsets=True)]),
    "sequence_bert_roberta": hf.Sequence([hf.BertProcessing(("[SEP]", 102), ("[CLS]", 101)),
                                          hf.RobertaProcessing(("</s>", 2), ("<s>", 0))]),
    "sequence_empty": hf.Sequence([]),
}


def record(tokens, offsets=None, **extra):
    n = len(tokens)
    out = {"ids": list(range(1000, 1000 + n)), "tokens": list(tokens),
           "offsets": offsets if offsets is not None else [(i, i + 1) for i in range(n)]}
    out.update(extra)
    return out


EXAMPLES = [
    (record([]), None),
    (record(["Hello", "Ġworld", "Ġ", "ĠĠ", "!Ġ", " x ", "\u3000y\u2028"],
            [(0, 5), (5, 11), (11, 12), (12, 14), (14, 16), (16, 19), (19, 22)], words=[0, 1, 2, 3, 4, 5, None]), None),
    (record(["Ġa"], [(0, 2)]), record(["Ġb", "c"], [(0, 2), (2, 3)])),
    (record(["ĠĠa", "bĠĠ"], [(3, 6), (0, 3)]), record(["Ġ"], [(0, 1)], type_ids=[7])),
    (record(["Ġx"], [(5, 2)]), record(["ĠĠĠ"], [(1, 2)], special_tokens_mask=[1], attention_mask=[0])),
    (record(["a", "b"], sequence_ranges={3: (0, 1)}), record(["c"], sequence_ranges={0: (0, 1)})),
    (record(["a", "Ġb"], overflowing=[record(["Ġc"], [(0, 2)]), record(["d"], overflowing=[record(["e"])])]),
     record(["f"], overflowing=[record(["Ġg"]), record(["h", "i"])])),
]


@pytest.mark.parametrize("name", sorted(CONFIGS))
@pytest.mark.parametrize("example", range(len(EXAMPLES)))
@pytest.mark.parametrize("add_special_tokens", [True, False])
def test_examples_match_tokenizers(name, example, add_special_tokens):
    encoding, pair = EXAMPLES[example]
    reference = CONFIGS[name]
    compare(reference, encoding, None, add_special_tokens)
    if pair is not None:
        compare(reference, encoding, pair, add_special_tokens)


@pytest.mark.parametrize("name", sorted(CONFIGS))
def test_special_token_counts(name):
    reference = CONFIGS[name]
    ours = ours_of(reference)
    for is_pair in (False, True):
        assert ours.num_special_tokens_to_add(is_pair) == reference.num_special_tokens_to_add(is_pair)


# --- Random encodings ----------------------------------------------------------------------

TOKEN = st.one_of(
    st.text(alphabet=st.sampled_from("Ġ ab\t\u00a0\u3000é日"), max_size=5),
    st.text(max_size=4),
)


@st.composite
def encodings(draw, depth=0):
    n = draw(st.integers(0, 6))
    offsets = draw(st.lists(st.tuples(st.integers(0, 12), st.integers(0, 12)), min_size=n, max_size=n))
    out = {
        "ids": draw(st.lists(st.integers(0, 2**32 - 1), min_size=n, max_size=n)),
        "tokens": draw(st.lists(TOKEN, min_size=n, max_size=n)),
        "offsets": offsets,
        "type_ids": draw(st.lists(st.integers(0, 3), min_size=n, max_size=n)),
        "words": draw(st.lists(st.none() | st.integers(0, 2**32 - 1), min_size=n, max_size=n)),
        "special_tokens_mask": draw(st.lists(st.integers(0, 1), min_size=n, max_size=n)),
        "attention_mask": draw(st.lists(st.integers(0, 1), min_size=n, max_size=n)),
    }
    if draw(st.booleans()):
        begin = draw(st.integers(0, n))
        out["sequence_ranges"] = {draw(st.integers(0, 2)): (begin, draw(st.integers(begin, n)))}
    if depth == 0 and draw(st.integers(0, 4)) == 0:
        out["overflowing"] = draw(st.lists(encodings(depth=1), max_size=2))
    return out


@pytest.mark.parametrize("name", sorted(CONFIGS))
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(encoding=encodings(), pair=st.none() | encodings(), add_special_tokens=st.booleans())
def test_random_encodings_match_tokenizers(name, encoding, pair, add_special_tokens):
    compare(CONFIGS[name], encoding, pair, add_special_tokens)


# --- Real tokenizers on the shared corpora -------------------------------------------------


def raw_tokenizer(path):
    """The file's tokenizer without its post-processor, truncation and padding: the
    encodings a post-processor receives."""
    document = json.loads(path.read_text(encoding="utf-8"))
    document["post_processor"] = None
    document["truncation"] = None
    document["padding"] = None
    return tokenizers.Tokenizer.from_str(json.dumps(document)), document


@pytest.mark.parametrize("tokenizer_file", ["gpt2-tokenizer.json", "bert-uncased-tokenizer.json"])
def test_post_processor_of_real_files_on_corpora(tokenizer_file):
    path = shared_file(tokenizer_file)
    raw, _ = raw_tokenizer(path)
    reference = tokenizers.Tokenizer.from_file(str(path)).post_processor
    ours = PostProcessor.from_json(json.dumps(json.loads(path.read_text(encoding="utf-8"))["post_processor"]))
    for corpus in ("prose.txt", "code.txt", "multilingual.txt"):
        text = shared_file("corpus", corpus).read_text(encoding="utf-8")
        chunks = [text[i:i + 600] for i in range(0, len(text), 600)][::40]
        for first, second in zip(chunks, chunks[1:]):
            a = raw.encode(first)
            b = raw.encode(second, add_special_tokens=False)
            a_record, b_record = as_record(a), as_record(b)
            for pair, pair_record in ((None, None), (b, b_record)):
                for specials in (True, False):
                    expected = as_record(reference.process(a, pair, specials))
                    assert ours.process(a_record, pair_record, specials) == expected


def test_bert_file_matches_the_whole_tokenizer():
    # The record the post-processor returns is what tokenizers' own encode gives.
    path = shared_file("bert-uncased-tokenizer.json")
    raw, _ = raw_tokenizer(path)
    full = tokenizers.Tokenizer.from_file(str(path))
    full.no_truncation()
    full.no_padding()
    ours = PostProcessor.from_json(json.dumps(json.loads(path.read_text(encoding="utf-8"))["post_processor"]))
    a, b = "Hello, world! How are you?", "Très bien, merci."
    got = ours.process(as_record(raw.encode(a)), as_record(raw.encode(b)))
    expected = full.encode(a, b)
    assert got["ids"] == expected.ids
    assert got["type_ids"] == expected.type_ids
    assert got["tokens"] == expected.tokens
    assert got["offsets"] == expected.offsets
    assert got["special_tokens_mask"] == expected.special_tokens_mask
    assert got["sequence_ids"] == expected.sequence_ids
    assert got["words"] == expected.word_ids


# --- Loading: what is read, and what is refused -------------------------------------------

BERT_TEMPLATE = json.loads(CONFIGS["template_bert"].__getstate__())


def template(**changes):
    d = json.loads(json.dumps(BERT_TEMPLATE))
    d.update(changes)
    return json.dumps(d)


REFUSED = [
    ('{"type": "Nope"}', 'unsupported post-processor type "Nope"'),
    ('{"sep": ["[SEP]", 102], "cls": ["[CLS]", 101]}', 'post-processor: missing field "type"'),
    ("[]", "post-processor: expected a JSON object, got array"),
    ('{"type": "BertProcessing", "sep": ["[SEP]", 102]}', 'post-processor BertProcessing: missing field "cls"'),
    ('{"type": "BertProcessing", "sep": ["[SEP]", 102], "cls": ["[CLS]", 101], "trim_offsets": true}',
     'post-processor BertProcessing: unsupported option "trim_offsets"'),
    ('{"type": "BertProcessing", "sep": ["[SEP]", -1], "cls": ["[CLS]", 101]}',
     'post-processor BertProcessing: field "sep" id must be a non-negative integer'),
    ('{"type": "BertProcessing", "sep": ["[SEP]", 4294967296], "cls": ["[CLS]", 101]}',
     'post-processor BertProcessing: field "sep" id must be at most 4294967295'),
    ('{"type": "BertProcessing", "sep": ["[SEP]", 102, 3], "cls": ["[CLS]", 101]}',
     'post-processor BertProcessing: field "sep" must be a [token, id] pair'),
    ('{"type": "BertProcessing", "sep": [102, "[SEP]"], "cls": ["[CLS]", 101]}',
     'post-processor BertProcessing: field "sep" token must be a string'),
    ('{"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0]}',
     'post-processor RobertaProcessing: missing field "trim_offsets"'),
    ('{"type": "ByteLevel"}', 'post-processor ByteLevel: missing field "add_prefix_space"'),
    ('{"type": "ByteLevel", "add_prefix_space": true, "trim_offsets": "yes"}',
     'post-processor ByteLevel: field "trim_offsets" must be true or false'),
    ('{"type": "ByteLevel", "sep": ["[SEP]", 102], "cls": ["[CLS]", 101]}',
     'post-processor ByteLevel: unsupported option "cls"'),
    ('{"type": "Sequence", "processors": [{"type": "ByteLevel", "add_prefix_space": true, "trim_offsets": true}, {}]}',
     'post-processor processors[1]: missing field "type"'),
    ('{"type": "Sequence", "processors": [{"type": "Sequence", "processors": [{"type": "BertProcessing"}]}]}',
     'post-processor processors[0].processors[0] (BertProcessing): missing field "sep"'),
    (template(single="[CLS] $A"), 'post-processor TemplateProcessing: field "single" must be a list of pieces'),
    (template(single=[{"SpecialToken": {"id": "[MASK]", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
                      {"SpecialToken": {"id": "[X]", "type_id": 0}}, {"SpecialToken": {"id": "[MASK]", "type_id": 1}}]),
     "post-processor TemplateProcessing: Missing SpecialToken(s) with id(s) `[MASK], [X]`"),
    (template(single=[{"Sequence": {"id": "C", "type_id": 0}}]),
     'post-processor TemplateProcessing: single[0] id must be "A" or "B"'),
    (template(single=[{"Sequence": {"id": "B", "type_id": 0}}]),
     "post-processor TemplateProcessing: the single template uses sequence B, which a single input does not have"),
    (template(single=[{"Sequence": {"id": "A", "type_id": 0}, "SpecialToken": {"id": "[CLS]", "type_id": 0}}]),
     'post-processor TemplateProcessing: single[0] must be {"Sequence": ...} or {"SpecialToken": ...}'),
    (template(single=[{"Sequence": {"id": "A"}}]), 'post-processor TemplateProcessing: single[0] is missing field "type_id"'),
    (template(single=[{"Sequence": {"id": "A", "type_id": 0, "x": 1}}]),
     'post-processor TemplateProcessing: single[0] has an unsupported field "x"'),
    (template(special_tokens={"[CLS]": {"id": "[CLS]", "ids": [1, 2], "tokens": ["a"]}}),
     "post-processor TemplateProcessing: SpecialToken: ids and tokens must be of the same length"),
    (template(special_tokens=[]), 'post-processor TemplateProcessing: field "special_tokens" must be an object'),
    (template(pair=None), 'post-processor TemplateProcessing: field "pair" must be a list of pieces'),
]


@pytest.mark.parametrize("text, message", REFUSED)
def test_refused_with_a_message_naming_the_post_processor(text, message):
    with pytest.raises(ValueError) as info:
        PostProcessor.from_json(text)
    assert str(info.value) == message


def test_sequence_nesting_limit():
    def nested(depth):
        return '{"type": "Sequence", "processors": [' * depth + "]}" * depth

    assert PostProcessor.from_json(nested(64)).num_special_tokens_to_add(True) == 0
    with pytest.raises(ValueError, match="Sequence nesting deeper than 64"):
        PostProcessor.from_json(nested(65))
    with pytest.raises(ValueError, match="Sequence nesting deeper than 64"):
        PostProcessor.from_json(nested(100000))


def test_template_after_template_needs_one_or_two_records():
    # tokenizers stops on an unfinished branch there; a ValueError says what went wrong.
    both = json.loads(CONFIGS["template_bert"].__getstate__())
    ours = PostProcessor.from_json(json.dumps({"type": "Sequence", "processors": [both, both]}))
    with pytest.raises(ValueError, match="TemplateProcessing: expected one or two encodings, got 3"):
        ours.process(record(["a"]))


# --- The Python surface --------------------------------------------------------------------


def test_constructor_json_forms_and_pickle():
    text = CONFIGS["sequence_byte_level_template"].__getstate__().decode()
    for p in (PostProcessor(text), PostProcessor.from_json(text.encode()), pickle.loads(pickle.dumps(PostProcessor(text)))):
        assert p.to_json() == text
        assert p.process(record(["Ġa"], [(0, 2)]))["offsets"] == [(0, 0), (0, 2)]


@pytest.mark.parametrize("encoding, error, message", [
    ([], TypeError, "encoding must be a dict, not list"),
    ({"ids": [1], "tokens": ["a"]}, ValueError, 'encoding needs "ids", "tokens" and "offsets"'),
    ({"ids": [1], "tokens": ["a"], "offsets": [(0, 1)], "extra": 1}, ValueError, "encoding has an unknown key 'extra'"),
    ({"ids": [1, 2], "tokens": ["a"], "offsets": [(0, 1)]}, ValueError, "encoding has 2 ids, 1 tokens and 1 offsets"),
    ({"ids": [-1], "tokens": ["a"], "offsets": [(0, 1)]}, ValueError, 'encoding["ids"][0] must be between 0 and 4294967295'),
    ({"ids": [2**32], "tokens": ["a"], "offsets": [(0, 1)]}, ValueError,
     'encoding["ids"][0] must be between 0 and 4294967295'),
    ({"ids": [True], "tokens": ["a"], "offsets": [(0, 1)]}, TypeError, 'encoding["ids"][0] must be an int, not bool'),
    ({"ids": [1], "tokens": [1], "offsets": [(0, 1)]}, TypeError, 'encoding["tokens"][0] must be str, not int'),
    ({"ids": [1], "tokens": ["a"], "offsets": [(0, 1, 2)]}, TypeError, 'encoding["offsets"][0] must be a (start, end) pair'),
    ({"ids": [1], "tokens": ["a"], "offsets": [(0, 1)], "words": []}, ValueError,
     'encoding["words"] has 0 items for 1 tokens'),
    ({"ids": [1], "tokens": ["a"], "offsets": [(0, 1)], "type_ids": [0, 0]}, ValueError,
     'encoding["type_ids"] has 2 items for 1 tokens'),
    ({"ids": [1], "tokens": ["a"], "offsets": [(0, 1)], "sequence_ranges": {0: (0, 2)}}, ValueError,
     'encoding["sequence_ranges"][0] is not a range within the 1 tokens'),
    ({"ids": [1], "tokens": ["a"], "offsets": [(0, 1)], "sequence_ranges": {"x": (0, 1)}}, ValueError,
     "encoding[\"sequence_ranges\"] key 'x' is not a sequence number"),
    ({"ids": [1], "tokens": ["a"], "offsets": [(0, 1)], "overflowing": [{}]}, ValueError,
     'encoding["overflowing"][0] needs "ids", "tokens" and "offsets"'),
])
def test_process_argument_errors(encoding, error, message):
    p = PostProcessor(CONFIGS["bert"].__getstate__())
    with pytest.raises(error) as info:
        p.process(encoding)
    assert str(info.value) == message


def test_a_processed_record_can_be_processed_again():
    p = PostProcessor(CONFIGS["template_bert"].__getstate__())
    once = p.process(record(["a", "b"]))
    twice = p.process(once)
    assert twice["tokens"] == ["[CLS]", "[CLS]", "a", "b", "[SEP]", "[SEP]"]


def test_deeply_nested_overflowing_is_refused():
    r = record(["a"])
    for _ in range(10):
        r = record(["a"], overflowing=[r])
    with pytest.raises(ValueError, match="nests deeper than 8 levels"):
        PostProcessor(CONFIGS["bert"].__getstate__()).process(r)


# --- Long inputs ---------------------------------------------------------------------------

# A tenth of it under the sanitizers (CORVANE_SANITIZED=1), whose checks make each token
# cost far more.
MILLION = 100_000 if os.environ.get("CORVANE_SANITIZED") == "1" else 1_000_000


def test_a_million_tokens():
    tokens = ["Ġab", "c"] * (MILLION // 2)
    a = {"ids": [5] * MILLION, "tokens": tokens, "offsets": [(i, i + 3) for i in range(MILLION)]}
    # Every "Ġab" but the first (which add_prefix_space accounts for) loses its space.
    trimmed = [(i + (i % 2 == 0 and i > 0), i + 3) for i in range(MILLION)]

    got = ours_of(CONFIGS["template_bert"]).process(a, a)
    assert got["ids"] == [101] + [5] * MILLION + [102] + [5] * MILLION + [102]
    assert got["type_ids"] == [0] * (MILLION + 2) + [1] * (MILLION + 1)
    assert got["offsets"] == [(0, 0)] + a["offsets"] + [(0, 0)] + a["offsets"] + [(0, 0)]
    assert got["sequence_ids"] == [None] + [0] * MILLION + [None] + [1] * MILLION + [None]

    got = ours_of(CONFIGS["roberta"]).process(a)
    assert got["ids"] == [0] + [5] * MILLION + [2]
    assert got["offsets"] == [(0, 0)] + trimmed + [(0, 0)]
    assert got["tokens"] == ["<s>"] + tokens + ["</s>"]

    got = ours_of(CONFIGS["sequence_byte_level_template"]).process(a)
    assert got["offsets"] == [(0, 0)] + trimmed
