"""The tokenizer.json normalizers against HuggingFace `tokenizers`' own, on normalized text
and on offsets (for each normalized character, the character range of the original it came
from).

Known differences, by design of the data sources (see src/core/pinned_unicode.h): the
engine takes its Unicode data from ICU, pinned to the versions `tokenizers`' crates use
(normalization forms and StripAccents: Unicode 9.0; BertNormalizer's categories: 8.0).
ICU only knows today's general categories, so the few characters whose category changed
after those versions differ, and lowercase follows ICU's Unicode version, so characters
assigned after it are not lowercased. Both sets are checked exactly below.
"""
from __future__ import annotations

import json
import unicodedata

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane_core
from conftest import shared_file

tokenizers = pytest.importorskip("tokenizers")
N = tokenizers.normalizers

ICU_UNICODE = unicodedata.unidata_version  # 15.0.0 here, ICU 72's version too

# Characters whose general category changed after the version a `tokenizers` crate pins
# (Mn <-> Mc/Lo moves in Unicode 9.0-14.0). BertNormalizer's accent stripping (Mn, 8.0):
BERT_MN_CHANGED = {0x1734, 0x1885, 0x1886, 0xA9BD, 0x111C9}
# StripAccents (Mn, Mc, Me, 9.0):
MARK_CHANGED = {0x1CF2, 0x1CF3, 0x111C9}


def assigned_after_icu(cp: int) -> bool:
    """Unassigned in the Unicode version of the engine's ICU, so without a case mapping."""
    return unicodedata.category(chr(cp)) == "Cn"


def known_difference(name: str, cp: int) -> bool:
    lowercases = name.startswith(("Lowercase", "Bert", "Seq")) and "lc0" not in name
    if lowercases and assigned_after_icu(cp):
        return True
    if name.startswith(("Bert", "Seq")) and cp in BERT_MN_CHANGED:
        return True
    return name.startswith(("StripAccents", "Seq")) and cp in MARK_CHANGED


def bert(ct, hc, sa, lc):
    return ({"type": "BertNormalizer", "clean_text": ct, "handle_chinese_chars": hc, "strip_accents": sa,
             "lowercase": lc}, lambda: N.BertNormalizer(clean_text=ct, handle_chinese_chars=hc, strip_accents=sa,
                                                       lowercase=lc))


def replace(kind, pattern, content):
    ref = pattern if kind == "String" else tokenizers.Regex(pattern)
    return ({"type": "Replace", "pattern": {kind: pattern}, "content": content}, lambda: N.Replace(ref, content))


# (id, tokenizer.json object, reference factory)
COMPONENTS = {
    "NFC": ({"type": "NFC"}, N.NFC),
    "NFD": ({"type": "NFD"}, N.NFD),
    "NFKC": ({"type": "NFKC"}, N.NFKC),
    "NFKD": ({"type": "NFKD"}, N.NFKD),
    "Lowercase": ({"type": "Lowercase"}, N.Lowercase),
    "StripAccents": ({"type": "StripAccents"}, N.StripAccents),
    "ByteLevel": ({"type": "ByteLevel"}, N.ByteLevel),
    "Strip-both": ({"type": "Strip", "strip_left": True, "strip_right": True}, lambda: N.Strip(True, True)),
    "Strip-left": ({"type": "Strip", "strip_left": True, "strip_right": False}, lambda: N.Strip(True, False)),
    "Strip-right": ({"type": "Strip", "strip_left": False, "strip_right": True}, lambda: N.Strip(False, True)),
    "Prepend": ({"type": "Prepend", "prepend": "\u2581"}, lambda: N.Prepend("\u2581")),
    "Prepend-ascii": ({"type": "Prepend", "prepend": "ab"}, lambda: N.Prepend("ab")),
    "Prepend-empty": ({"type": "Prepend", "prepend": ""}, lambda: N.Prepend("")),
    "Replace-str": replace("String", " ", "\u2581"),
    "Replace-str-longer": replace("String", "ab", "XYZ"),
    "Replace-str-delete": replace("String", "é", ""),
    "Replace-str-meta": replace("String", ".*(a)", "-"),
    "Replace-str-empty": replace("String", "", "_"),
    "Replace-re-spaces": replace("Regex", r"\s+", " "),
    "Replace-re-empty-matches": replace("Regex", "x*", "-"),
    "Replace-re-marks": replace("Regex", r"\p{Mn}", ""),
    "Replace-re-any": replace("Regex", r"(?i)[aé]|\d+", "\u00e9\u4e2d"),
    "Seq-nfkd-strip-lower": ({"type": "Sequence", "normalizers": [{"type": "NFKD"}, {"type": "StripAccents"},
                                                                  {"type": "Lowercase"}]},
                             lambda: N.Sequence([N.NFKD(), N.StripAccents(), N.Lowercase()])),
    "Seq-nested": ({"type": "Sequence", "normalizers": [
        {"type": "Sequence", "normalizers": [{"type": "Strip", "strip_left": True, "strip_right": True},
                                             {"type": "Replace", "pattern": {"String": " "}, "content": "\u2581"}]},
        {"type": "Prepend", "prepend": "\u2581"}, {"type": "NFC"}]},
        lambda: N.Sequence([N.Sequence([N.Strip(True, True), N.Replace(" ", "\u2581")]), N.Prepend("\u2581"),
                            N.NFC()])),
    "Seq-empty": ({"type": "Sequence", "normalizers": []}, lambda: N.Sequence([])),
}
for ct in (True, False):
    for hc in (True, False):
        for sa in (None, True, False):
            for lc in (True, False):
                COMPONENTS[f"Bert-ct{int(ct)}-hc{int(hc)}-sa{sa}-lc{int(lc)}"] = bert(ct, hc, sa, lc)

# Characters that exercise every rule: case (Turkish dotted I, final sigma, German sharp s),
# compatibility forms (ligatures, fullwidth, circled, fractions, squared words), combining
# marks in and out of canonical order, Hangul jamo and syllables, CJK ideographs, controls,
# formats, White_Space and the replacement character.
INTERESTING = list(
    "İıIiΣσςßẞﬁﬀﬃﬅǅǈŉÅÅAåéèêëeE\u0301\u0300\u0302\u0316\u0345\u0334\u0327\u0328\u05B0\u0F73\u0F75\u0344\u0958"
    "\u1100\u1161\u11A8\uAC00\uAC01가각한국 中文字\U00020000\uF900\U0002F800\u3400"
    "ＡＢ１２ｶﾞﾊﾟ㌀①ⅷ½ℌ\u2126\u212B\u00A0\u1680\u2000\u2028\u2029\u202F\u205F\u3000\u0085"
    "\t\n\r\x00\x01\x0b\x0c\x1f\x7f\u00AD\u200B\u200D\u2066\uFEFF\uFFFD\uE000\U000F0000"
    " .,;x*ab\\()[]?+"
) + ["\u0065\u0301", "\u0041\u030A", "\u1100\u1161\u11A8", "a\u0301\u0316", "\u0345\u0301"]


def text_strategy(name: str, max_size: int = 40):
    def allowed(ch: str) -> bool:
        return not known_difference(name, ord(ch))

    anything = st.characters(blacklist_categories=("Cs",)).filter(allowed)
    pieces = st.one_of(st.sampled_from([c for c in INTERESTING if all(allowed(x) for x in c)]), anything)
    return st.lists(pieces, max_size=max_size).map("".join)


def ours(name: str):
    return corvane_core.Normalizer.from_json(json.dumps(COMPONENTS[name][0]))


def reference(name: str):
    return COMPONENTS[name][1]()


def hf_with_offsets(normalizer, text: str) -> tuple[str, list[tuple[int, int]]]:
    """`tokenizers`' normalized text and, per normalized character, its original offsets."""
    pts = tokenizers.PreTokenizedString(text)
    pts.normalize(lambda ns: normalizer.normalize(ns))
    # One split per normalized character ("(?m:.)" is Oniguruma's dot-all).
    pts.split(lambda i, ns: ns.split(tokenizers.Regex(r"(?m:.)"), "isolated"))
    splits = pts.get_splits(offset_referential="original", offset_type="char")
    normalized = "".join(s for s, _, _ in splits)
    assert normalized == normalizer.normalize_str(text)
    return normalized, [tuple(o) for _, o, _ in splits]


def check(name: str, text: str, ref=None, mine=None) -> None:
    ref = ref or reference(name)
    mine = mine or ours(name)
    expected = hf_with_offsets(ref, text)
    got = mine.normalize_with_offsets(text)
    assert got == expected, (name, text)
    assert mine.normalize_str(text) == expected[0]


@pytest.mark.parametrize("name", list(COMPONENTS))
def test_interesting_characters(name):
    ref, mine = reference(name), ours(name)
    samples = [c for c in INTERESTING if not any(known_difference(name, ord(x)) for x in c)]
    check(name, "".join(samples), ref, mine)
    check(name, "  " + " x ".join(samples) + "\t\n ", ref, mine)
    for s in ["", " ", "a", "\u0301", "\u0301a", "a\u0301", "  \u3000 ", "ab", "\U0002F800"] + samples:
        check(name, s, ref, mine)


@pytest.mark.parametrize("name", [n for n in COMPONENTS if not n.startswith("Bert") or n.endswith("saNone-lc1")
                                  or n == "Bert-ct0-hc0-saTrue-lc0"])
def test_random_unicode(name):
    ref, mine = reference(name), ours(name)

    @settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(text_strategy(name))
    def run(text):
        check(name, text, ref, mine)

    run()


def differing_code_points(name: str) -> set[int]:
    """Every assigned code point (and the private-use and unassigned ones of the BMP) on
    which the component differs, each between two letters so that it meets context."""
    ref, mine = reference(name), ours(name)
    cps = [cp for cp in range(0x110000) if not 0xD800 <= cp <= 0xDFFF and (
        cp < 0x10000 or unicodedata.category(chr(cp)) != "Cn" or assigned_after_icu(cp))]
    found = set()
    for i in range(0, len(cps), 512):
        chunk = cps[i:i + 512]
        text = "".join("a" + chr(cp) + "b" for cp in chunk)
        if mine.normalize_str(text) == ref.normalize_str(text):
            continue
        for cp in chunk:
            t = "a" + chr(cp) + "b"
            if mine.normalize_str(t) != ref.normalize_str(t):
                found.add(cp)
    return found


@pytest.mark.parametrize("name", ["NFC", "NFKD", "StripAccents", "Bert-ct1-hc1-saTrue-lc0", "Replace-re-spaces"])
def test_every_code_point(name):
    found = differing_code_points(name)
    allowed = {cp for cp in found if known_difference(name, cp)}
    assert found == allowed, sorted(hex(cp) for cp in found - allowed)
    if name == "StripAccents":
        assert found == MARK_CHANGED
    if name.startswith("Bert"):
        assert found == BERT_MN_CHANGED


def test_lowercase_differences_are_only_characters_newer_than_icu():
    found = differing_code_points("Lowercase")
    assert found and all(assigned_after_icu(cp) for cp in found)


# Components run on whole corpora (text only); every component runs on each corpus's head
# with offsets.
WHOLE_CORPUS = ["NFC", "Bert-ct1-hc1-saNone-lc1", "Replace-re-spaces", "Seq-nfkd-strip-lower"]


@pytest.mark.parametrize("corpus", ["prose", "code", "multilingual"])
def test_corpora(corpus):
    text = shared_file("corpus", f"{corpus}.txt").read_text(encoding="utf-8")
    head = text[:4000]
    for name in COMPONENTS:
        ref, mine = reference(name), ours(name)
        if name in WHOLE_CORPUS:
            assert mine.normalize_str(text) == ref.normalize_str(text), name
        check(name, head, ref, mine)


@pytest.mark.parametrize("text", [
    "a" * 300_000,
    "\u0301" * 100_000,                      # one run of marks with no starter
    "e" + "\u0316\u0301" * 50_000,           # a long run to reorder
    "中" * 50_000,
    " " * 100_000 + "x" + "\u3000" * 100_000,
    "İ" * 100_000,
    "ﷺ" * 20_000,                            # the longest compatibility decomposition
])
@pytest.mark.parametrize("name", ["NFKC", "NFD", "Bert-ct1-hc1-saNone-lc1", "Strip-both", "Replace-re-empty-matches",
                                  "Replace-re-spaces", "Replace-str-empty", "ByteLevel", "Seq-nfkd-strip-lower"])
def test_long_hostile_inputs(name, text):
    ref, mine = reference(name), ours(name)
    assert mine.normalize_str(text) == ref.normalize_str(text)


def test_bytes_input_and_invalid_utf8():
    n = corvane_core.Normalizer.from_json('{"type": "Lowercase"}')
    assert n.normalize_str("ÀB".encode()) == "àb"
    with pytest.raises(ValueError, match="^text is not valid UTF-8$"):
        n.normalize_str(b"a\xff")


@pytest.mark.parametrize("doc, message", [
    ("[1, 2]", 'normalizer must be a JSON object with a string "type"'),
    ("{}", 'normalizer must be a JSON object with a string "type"'),
    ('{"type": 3}', 'normalizer must be a JSON object with a string "type"'),
    ('{"type": "Precompiled", "precompiled_charsmap": ""}', "normalizer Precompiled: invalid precompiled_charsmap: shorter than its 4-byte header"),
    ('{"type": "Nmt"}', "unsupported normalizer: Nmt"),
    ('{"type": "NFC", "form": "C"}', "unsupported option of normalizer NFC: form"),
    ('{"type": "Lowercase", "turkish": true}', "unsupported option of normalizer Lowercase: turkish"),
    ('{"type": "Strip", "strip_left": true}', "normalizer Strip: missing option strip_right"),
    ('{"type": "Strip", "strip_left": 1, "strip_right": true}', "normalizer Strip: option strip_left must be a boolean"),
    ('{"type": "BertNormalizer", "clean_text": true, "handle_chinese_chars": true, "strip_accents": "yes", '
     '"lowercase": true}', "normalizer BertNormalizer: option strip_accents must be null or a boolean"),
    ('{"type": "BertNormalizer", "clean_text": true, "handle_chinese_chars": true}',
     "normalizer BertNormalizer: missing option lowercase"),
    ('{"type": "Prepend", "prepend": null}', "normalizer Prepend: option prepend must be a string"),
    ('{"type": "Replace", "pattern": "x", "content": "y"}',
     'normalizer Replace: option pattern must be {"String": text} or {"Regex": text}'),
    ('{"type": "Replace", "pattern": {"Glob": "x"}, "content": "y"}',
     'normalizer Replace: option pattern must be {"String": text} or {"Regex": text}'),
    ('{"type": "Replace", "pattern": {"String": "x"}}', "normalizer Replace: missing option content"),
    ('{"type": "Replace", "pattern": {"Regex": "(?<x"}, "content": ""}', "Oniguruma error: invalid group name <x>"),
    ('{"type": "Sequence", "normalizers": {"type": "NFC"}}',
     "normalizer Sequence: option normalizers must be a list of normalizers"),
    ('{"type": "Sequence", "normalizers": [{"type": "NFC"}, {"type": "Bogus"}]}', "unsupported normalizer: Bogus"),
    ('{"type": "Sequence", "normalizers": [' * 101 + "]}" * 101,
     "normalizer Sequence nested too deeply (more than 100 levels)"),
])
def test_errors_name_what_is_unsupported(doc, message):
    with pytest.raises(ValueError) as e:
        corvane_core.Normalizer.from_json(doc)
    assert str(e.value) == message


@pytest.mark.parametrize("doc", ["", "{", '{"type": "NFC"} x', "[" * 200_000])
def test_malformed_json(doc):
    with pytest.raises(ValueError, match="^normalizer JSON parse error: "):
        corvane_core.Normalizer.from_json(doc)


def test_deeply_nested_sequence_within_the_limit():
    doc = '{"type": "Sequence", "normalizers": [' * 100 + '{"type": "Lowercase"}' + "]}" * 100
    assert corvane_core.Normalizer.from_json(doc).normalize_str("ÀB") == "àb"


def test_pickle_and_json_round_trip():
    import pickle

    doc = json.dumps(COMPONENTS["Seq-nested"][0])
    n = corvane_core.Normalizer(doc)
    assert n.to_json() == doc
    copy = pickle.loads(pickle.dumps(n))
    text = "  a b\u0301  "
    assert copy.normalize_with_offsets(text) == n.normalize_with_offsets(text)
    with pytest.raises(ValueError, match="^invalid Normalizer pickle state: unknown version$"):
        corvane_core.Normalizer.__new__(corvane_core.Normalizer).__setstate__((2, doc.encode()))
