#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/seeds/<target>/.

Hand-made malformed and edge-case files go into fuzz/seeds (committed). Small slices of
the shared data are never committed: `--from-data DIR` writes only those, into DIR, and
scripts/fuzz.sh does so before each run when the shared data folder is there. Seeds named
regress-* are findings kept as regression inputs; this script never touches them. Each
seed stays under 4 KB.

    python3 fuzz/make_seeds.py                                # hand-made seeds
    python3 fuzz/make_seeds.py --from-data build/fuzz/data-seeds [--data ../shared/data]
"""

import argparse
import collections
import base64
import json
import os
import pathlib
import random

HERE = pathlib.Path(__file__).resolve().parent
SEEDS = HERE / "seeds"
LIMIT = 4096


# Where seeds go, and which kind this run writes: "hand" or "data".
OUT = SEEDS
KIND = "hand"


def write(target, name, content, kind="hand"):
    if kind != KIND:
        return
    if isinstance(content, str):
        content = content.encode("utf-8", "surrogatepass")
    content = content[:LIMIT]
    d = OUT / target
    d.mkdir(parents=True, exist_ok=True)
    (d / name).write_bytes(content)


def lines_slice(path, start, count):
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    return b"\n".join(lines[start:start + count]) + b"\n"


def text_slice(path, start, size):
    data = path.read_bytes()
    return data[start:start + size]


def b64(s):
    return base64.b64encode(s).decode()


def tiktoken_seeds(data):
    t = "tiktoken_loader"
    r50k = data / "r50k_base.tiktoken" if data else None
    if r50k and r50k.exists():
        write(t, "r50k-head", lines_slice(r50k, 0, 40), kind="data")
        write(t, "r50k-words", lines_slice(r50k, 256, 60), kind="data")
        write(t, "r50k-late", lines_slice(r50k, 30000, 60), kind="data")
    cl = data / "cl100k_base.tiktoken" if data else None
    if cl and cl.exists():
        write(t, "cl100k-slice", lines_slice(cl, 70000, 40), kind="data")
    ok = "".join(f"{b64(bytes([b]))} {b}\n" for b in range(97, 123))
    write(t, "letters", ok + f"{b64(b'ab')} 300\n{b64(b'abc')} 301\n{b64(b'the')} 302\n")
    write(t, "crlf", ok.replace("\n", "\r\n"))
    write(t, "no-padding", "IQ 0\nIiM 1\nYWJj 2\n")
    write(t, "bad-base64", "I!Q== 0\n-_-_ 1\n=== 2\nYW\xffJj 3\n")
    write(t, "missing-rank", "IQ== 0\nIg== \n")
    write(t, "rank-letters", "IQ== abc\n")
    write(t, "rank-overflow", "IQ== 2147483648\n")
    write(t, "rank-underflow", "IQ== -2147483649\n")
    write(t, "rank-limits", "IQ== 2147483647\nIg== -2147483648\nIw== +3\nJA== 12abc\nJQ== -0\n")
    write(t, "rank-long-digits", "IQ== " + "9" * 400 + "\n")
    write(t, "trailing-space", "IQ== 7 \n")
    write(t, "two-spaces", "IQ  7\n")
    write(t, "tab-separator", "IQ==\t7\n")
    write(t, "bom", b"\xef\xbb\xbfIQ== 0\nIg== 1\n")
    write(t, "empty", b"")
    write(t, "only-newlines", b"\n\n\r\n\n")
    write(t, "nuls", b"IQ==\x00 0\nIg== 1\x00\n\x00 2\n")
    write(t, "non-utf8", b"\xff\xfe\x80 5\nIQ== 6\n")
    write(t, "duplicates", "IQ== 1\nIQ== 2\nIg== 2\n")
    write(t, "empty-token", " 5\nIQ== 6\n")
    write(t, "whitespace-rank", "IQ== \t\v\f 42\nIg==  \r\n")
    write(t, "sparse-ids", "IQ== 0\nIg== 1000000\nIw== -1000000\nJA== 2147483647\n")


def json_seeds(data):
    t = "hf_json_loader"
    gpt2 = data / "gpt2-tokenizer.json" if data else None
    if gpt2 and gpt2.exists():
        doc = json.loads(gpt2.read_text(encoding="utf-8"))
        model = doc["model"]
        merges = model["merges"][:40]
        keep = {}
        for k, v in list(model["vocab"].items())[:60]:
            keep[k] = v
        for m in merges:
            l, r = m.split(" ", 1)
            for tok in (l, r, l + r):
                if tok in model["vocab"]:
                    keep[tok] = model["vocab"][tok]
        small = {
            "version": doc.get("version"),
            "pre_tokenizer": doc.get("pre_tokenizer"),
            "decoder": doc.get("decoder"),
            "model": {"type": "BPE", "vocab": keep, "merges": merges},
        }
        write(t, "gpt2-trimmed", json.dumps(small, ensure_ascii=False), kind="data")
        write(t, "gpt2-trimmed-ascii", json.dumps(small, ensure_ascii=True, indent=1)[:LIMIT], kind="data")
    base = {"model": {"vocab": {"a": 0, "b": 1, "ab": 2, "c": 3, "abc": 4}, "merges": ["a b", "ab c"]}}
    write(t, "small", json.dumps(base))
    write(t, "byte-level", json.dumps({
        "pre_tokenizer": {"type": "Sequence", "pretokenizers": [{"type": "Split"}, {"type": "ByteLevel"}]},
        "decoder": {"type": "ByteLevel"},
        "model": {"vocab": {"\u0120": 0, "a": 1, "\u0120a": 2, "\u0100": 3, "\u00e9": 4, "\u0143": 5},
                  "merges": ["\u0120 a", "\u0100 \u0100"]}}, ensure_ascii=False))
    write(t, "decoder-sequence", json.dumps({
        "decoder": {"type": "Sequence", "decoders": [{"type": "Sequence", "decoders": [{"type": "ByteLevel"}]}]},
        "model": {"vocab": {"\u0120x": 7}, "merges": []}}))
    write(t, "merge-pairs", '{"model": {"vocab": {"a": 0}, "merges": [["a", "b"]]}}')
    write(t, "merge-shapes", '{"model": {"vocab": {"a": 0}, "merges": ["a b c", " b", "a ", "ab", "a b", "a b"]}}')
    write(t, "merges-object", '{"model": {"vocab": {"a": 0}, "merges": {"z": "a b", "y": "b c"}}}')
    write(t, "merges-scalar", '{"model": {"vocab": {"a": 0}, "merges": "a b"}}')
    write(t, "vocab-types", '{"model": {"vocab": {"a": 5.9, "b": -5.9, "c": true, "d": false, "e": 4294967301, '
                            '"f": -1, "g": 1e300, "h": -1e300, "i": 18446744073709551615}}}')
    write(t, "vocab-string-id", '{"model": {"vocab": {"a": "5"}}}')
    write(t, "vocab-null-id", '{"model": {"vocab": {"a": null}}}')
    write(t, "vocab-array", '{"model": {"vocab": [7, 8, 9.5, true]}}')
    write(t, "vocab-null", '{"model": {"vocab": null, "merges": ["a b"]}}')
    write(t, "vocab-scalar", '{"model": {"vocab": 12}}')
    write(t, "vocab-nested", '{"model": {"vocab": {"a": [1], "b": {"c": 2}}}}')
    write(t, "duplicate-keys", '{"model": {"vocab": {"b": 1, "a": 2, "b": 3}}, "model": {"vocab": {"z": 9, "y": 9}}}')
    write(t, "top-array", '[{"model": {"vocab": {"a": 0}}}]')
    write(t, "model-null", '{"model": null}')
    write(t, "model-missing", '{"vocab": {"a": 0}}')
    write(t, "trailing-text", '{"model": {"vocab": {"a": 0}}} and then some {')
    write(t, "truncated", '{"model": {"vocab": {"a": 0, "b"')
    write(t, "empty", b"")
    write(t, "whitespace-only", b" \r\n\t ")
    write(t, "nuls", b'{"model": {"vocab": {"a\\u0000b": 0}}}\x00\x00')
    write(t, "raw-nul", b'{"model": {"vocab": {"a\x00b": 0}}}')
    write(t, "crlf", '{\r\n "model": {\r\n  "vocab": {"a": 0}\r\n }\r\n}\r\n')
    write(t, "non-utf8", b'{"model": {"vocab": {"\xff\xfe": 0}}}')
    write(t, "bad-escape", '{"model": {"vocab": {"\\ud800": 0}}}')
    write(t, "surrogate-pair", '{"model": {"vocab": {"\\ud83d\\ude00": 0, "\\u0120\\u0121": 1}}, '
                               '"pre_tokenizer": {"type": "ByteLevel"}}')
    write(t, "deep-array", "[" * 4000)
    write(t, "deep-in-model", '{"model": {"vocab": {"a": 0}, "other": ' + "[" * 1500 + "]" * 1500 + "}}")
    write(t, "deep-pre-tokenizer", '{"pre_tokenizer": ' + '{"a":' * 600 + "1" + "}" * 600 +
          ', "model": {"vocab": {"a": 0}}}')
    write(t, "number-overflow", '{"model": {"vocab": {"a": 1e999}}}')
    write(t, "bom", b'\xef\xbb\xbf{"model": {"vocab": {"a": 0}}}')
    write(t, "comment", '/* c */ {"model": {"vocab": {"a": 0}}}')


def vocab_seeds(data):
    t = "vocab_loader"
    bert = HERE.parent / "tests" / ".cache" / "bert-uncased-vocab.txt"
    if bert.exists():
        write(t, "bert-head", lines_slice(bert, 0, 110), kind="data")
        write(t, "bert-words", lines_slice(bert, 2000, 120), kind="data")
        write(t, "bert-continuations", lines_slice(bert, 29000, 150), kind="data")
    write(t, "small", "[PAD]\n" + "\n" * 99 + "[UNK]\nun\n##aff\n##able\nhello\n##lo\n")
    write(t, "no-final-newline", "a\nb\nc")
    write(t, "empty-lines", "\n\na\n\n\nb\n")
    write(t, "crlf", "a\r\nb\r\n##c\r\n")
    write(t, "bom", b"\xef\xbb\xbfa\nb\n")
    write(t, "empty", b"")
    write(t, "only-newlines", b"\n\n\n")
    write(t, "nuls", b"a\x00b\n\x00\n##\x00\n")
    write(t, "non-utf8", b"\xff\n##\xfe\n\xc3\n##\xa9\n")
    write(t, "duplicates", "a\nb\na\n##a\n##a\n")
    write(t, "blanks", "  lead\ntrail  \n\tx\nx y\n## z\n")
    write(t, "hashes", "#\n##\n###\n####\n##a\n#a\n")
    write(t, "long-token", "x" * 3000 + "\n##" + "y" * 900 + "\n")


def text_seeds(data):
    texts = {}
    kinds = collections.defaultdict(lambda: "hand")
    corpus = data / "corpus" if data else None
    if corpus and corpus.exists():
        texts["prose"] = text_slice(corpus / "prose.txt", 20000, 1500)
        texts["code"] = text_slice(corpus / "code.txt", 50000, 1500)
        texts["multilingual"] = text_slice(corpus / "multilingual.txt", 30000, 1500)
        kinds.update(prose="data", code="data", multilingual="data")
    texts["contractions"] = b"it's they're we've I'm you'll he'd 'S 'x '' ''s"
    texts["underscores"] = b"snake_case a _b foo__bar ___ __init__"
    texts["whitespace"] = b"a  b\t\tc \n\n d   \r\n  \x0b\x0c e   "
    texts["digits"] = b"123456789 1 22 333 x1y2 3.14 -7"
    texts["long-word"] = b"ab" * 700
    texts["long-space"] = b" " * 1000 + b"x"
    texts["utf8"] = "caf\u00e9 na\u00efve \u2019quote\u2019 \u65e5\u672c \U0001f600".encode()
    texts["invalid-utf8"] = b"\xff\xfe\x80\xc3 \xe2\x80 ok"
    texts["nuls"] = b"a\x00b\x00\x00 c"
    for target, selectors in (("bpe_encode", range(8)), ("wordpiece", range(4))):
        for name, body in texts.items():
            for sel in selectors:
                if sel & (4 if target == "bpe_encode" else 2):
                    continue  # text mode only; id lists below
                write(target, f"{name}-{sel}", bytes([sel]) + body, kind=kinds[name])
        rnd = random.Random(7)
        for sel in selectors:
            if sel & (4 if target == "bpe_encode" else 2):
                write(target, f"ids-{sel}", bytes([sel]) + bytes(rnd.randrange(256) for _ in range(64)))
    wp_extra = {
        "bert-words": b"unaffable un aff ##able hello hell ##o [UNK] abcdefghijklmnopqrstuvwxyz0123456789x",
        "hash-words": b"## ### #a ##a ##ab a##b x## ##\xff \xc3\xa9 \xc3",
    }
    for name, body in wp_extra.items():
        write("wordpiece", name + "-0", b"\x00" + body)
        write("wordpiece", name + "-1", b"\x01" + body)
    for name, body in texts.items():
        write("compressor", name, body, kind=kinds[name])
    phrases = (b"for your information as soon as possible by the way in addition, the library "
               b"and the libraries, thank you for the application development team. "
               b"in order in order to x; as well as well as y; due in order to the fact that z\r\n\r\n"
               b"a about b plus c FYI to d  BTW\tASAP  ")
    write("compressor", "phrases", phrases)
    write("compressor", "documented-cases", b"by  the\tway it works\nby the way\n"
          b"we will do it as soon as possible and then rest")
    write("compressor", "blank-only", b" \t\r\n \t")
    rnd = random.Random(11)
    for i in range(6):
        write("compressor_diff", f"random-{i}", bytes(rnd.randrange(256) for _ in range(48 + 16 * i)))
    write("compressor_diff", "phrase-run", bytes(range(0, 230, 3)))
    for i in range(8):
        write("merge_diff", f"random-{i}", bytes(rnd.randrange(256) for _ in range(40 + 40 * i)))


def added_tokens_seeds():
    # Byte 0 the normalizer, byte 1 the token count, then per token options, length and
    # symbols, then the text's symbols (see fuzz/fuzz_added_tokens.cc).
    rnd = random.Random(13)
    for normalizer in range(8):
        count = 3 + normalizer % 3
        body = [normalizer, count - 1]
        for _ in range(count):
            length = 1 + rnd.randrange(3)
            body += [rnd.randrange(32), length] + [rnd.randrange(26) for _ in range(length)]
        body += [rnd.randrange(26) for _ in range(80)]
        write("added_tokens", f"random-{normalizer}", bytes(body))
    # <s> with lstrip and rstrip, "ab" single_word, " " with lstrip: text "a  <s>\u3000ab x ab_ b"
    write("added_tokens", "strip-and-word", bytes([0, 2, 6, 1, 18, 9, 1, 17, 2, 1, 4,
                                                   0, 4, 4, 18, 5, 17, 4, 9, 4, 17, 10, 4, 1]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--data", default=str(HERE.parent.parent / "shared" / "data"))
    ap.add_argument("--from-data", metavar="DIR", help="write only the slices of the shared data, into DIR")
    args = ap.parse_args()
    global OUT, KIND
    if args.from_data:
        OUT, KIND = pathlib.Path(args.from_data), "data"
    data = pathlib.Path(args.data)
    if not data.exists():
        data = None
    tiktoken_seeds(data)
    json_seeds(data)
    vocab_seeds(data)
    text_seeds(data)
    added_tokens_seeds()
    total = sum(f.stat().st_size for f in OUT.rglob("*") if f.is_file())
    print(f"seeds in {OUT}: {sum(1 for f in OUT.rglob('*') if f.is_file())} files, {total} bytes")


if __name__ == "__main__":
    main()
