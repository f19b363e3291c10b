"""Small tokenizer.json files trained with `tokenizers`' own trainers on the shared corpora,
one per family in real use, together covering every component and option the pipeline
reads. Each is trained, then its options are set in the JSON document itself, so that the
reference and corvane load the very same file."""

from __future__ import annotations

import json

from conftest import shared_file

LLAMA3_PATTERN = (
    r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*"
    r"|\s*[\r\n]+|\s+(?!\S)|\s+"
)
CLIP_PATTERN = r"""<\|startoftext\|>|<\|endoftext\|>|'s|'t|'re|'ve|'m|'ll|'d|[\p{L}]+|[\p{N}]|[^\s\p{L}\p{N}]+"""


def training_text(limit: int = 150_000) -> list[str]:
    """Lines from the start of each shared corpus."""
    lines: list[str] = []
    for name in ("prose", "code", "multilingual"):
        text = shared_file("corpus", f"{name}.txt").read_text(encoding="utf-8")[:limit]
        lines.extend(text.splitlines())
    return lines


def _train(tok, trainer, **model_options) -> str:
    tok.train_from_iterator(training_text(), trainer)
    doc = json.loads(tok.to_str())
    doc["model"].update(model_options)
    return json.dumps(doc)


def _add_byte_tokens(doc_text: str) -> str:
    """Adds the 256 <0xXX> tokens that byte fallback needs, after the trained vocabulary."""
    doc = json.loads(doc_text)
    vocab = doc["model"]["vocab"]
    next_id = max(vocab.values()) + 1
    for b in range(256):
        token = f"<0x{b:02X}>"
        if token not in vocab:
            vocab[token] = next_id
            next_id += 1
    return json.dumps(doc)


def llama3_like() -> str:
    """Byte-level BPE after a Split regex, ignore_merges (Llama 3, Qwen)."""
    from tokenizers import Regex, Tokenizer, decoders, models, pre_tokenizers, processors, trainers

    tok = Tokenizer(models.BPE())
    tok.pre_tokenizer = pre_tokenizers.Sequence(
        [
            pre_tokenizers.Split(Regex(LLAMA3_PATTERN), behavior="isolated", invert=False),
            pre_tokenizers.ByteLevel(add_prefix_space=False, trim_offsets=True, use_regex=False),
        ]
    )
    tok.decoder = decoders.ByteLevel()
    tok.post_processor = processors.Sequence(
        [
            processors.ByteLevel(trim_offsets=False),
            processors.TemplateProcessing(
                single="<|begin_of_text|> $A",
                pair="<|begin_of_text|> $A <|begin_of_text|>:1 $B:1",
                special_tokens=[("<|begin_of_text|>", 0)],
            ),
        ]
    )
    trainer = trainers.BpeTrainer(
        vocab_size=1500,
        special_tokens=["<|begin_of_text|>", "<|end_of_text|>"],
        initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
        show_progress=False,
    )
    return _train(tok, trainer, ignore_merges=True)


def llama2_like() -> str:
    """SentencePiece-style BPE: byte fallback, fused unknowns, a Metaspace-like normalizer;
    trained on whole lines, so that merges also join words across "▁"."""
    return _llama2(_train)


def _llama2(train) -> str:
    from tokenizers import Tokenizer, decoders, models, normalizers, processors, trainers

    tok = Tokenizer(models.BPE(unk_token="<unk>", fuse_unk=True, byte_fallback=True))
    tok.normalizer = normalizers.Sequence([normalizers.Prepend("▁"), normalizers.Replace(" ", "▁")])
    tok.decoder = decoders.Sequence(
        [decoders.Replace("▁", " "), decoders.ByteFallback(), decoders.Fuse(), decoders.Strip(" ", 1, 0)]
    )
    tok.post_processor = processors.TemplateProcessing(
        single="<s> $A", pair="<s> $A <s>:1 $B:1", special_tokens=[("<s>", 1)]
    )
    trainer = trainers.BpeTrainer(
        vocab_size=1200, special_tokens=["<unk>", "<s>", "</s>"], limit_alphabet=150, show_progress=False
    )
    return _add_byte_tokens(train(tok, trainer, byte_fallback=True, fuse_unk=True))


def llama2_words() -> str:
    """As llama2_like, but trained on words (SentencePiece splits its training text at
    spaces), so that, as in Llama 2's own file, no merge joins anything onto a "▁" but runs
    of "▁"; the file has no pre-tokenizer: each text reaches the model whole."""
    from tokenizers import pre_tokenizers

    def train_on_words(tok, trainer, **options):
        tok.pre_tokenizer = pre_tokenizers.Metaspace(replacement="▁", prepend_scheme="never", split=True)
        tok.train_from_iterator([line.replace("    ", "\u2581" * 4) for line in training_text()], trainer)
        doc = json.loads(tok.to_str())
        doc["pre_tokenizer"] = None
        doc["model"].update(options)
        return json.dumps(doc)

    return _llama2(train_on_words)


def metaspace_bpe() -> str:
    """BPE under a Metaspace pre-tokenizer (Mistral-style files), unknowns not fused, NFKC."""
    from tokenizers import Tokenizer, decoders, models, normalizers, pre_tokenizers, trainers

    tok = Tokenizer(models.BPE(unk_token="<unk>"))
    tok.normalizer = normalizers.NFKC()
    tok.pre_tokenizer = pre_tokenizers.Metaspace(replacement="▁", prepend_scheme="first", split=True)
    tok.decoder = decoders.Metaspace(replacement="▁", prepend_scheme="first", split=True)
    trainer = trainers.BpeTrainer(
        vocab_size=900, special_tokens=["<unk>", "<s>"], limit_alphabet=120, show_progress=False
    )
    return _train(tok, trainer, fuse_unk=False)


def clip_like() -> str:
    """Lowercase BPE with an end-of-word suffix (CLIP)."""
    from tokenizers import Regex, Tokenizer, decoders, models, normalizers, pre_tokenizers, processors, trainers

    tok = Tokenizer(models.BPE(unk_token="<|endoftext|>", end_of_word_suffix="</w>"))
    tok.normalizer = normalizers.Sequence(
        [normalizers.NFC(), normalizers.Replace(Regex(r"\s+"), " "), normalizers.Lowercase()]
    )
    tok.pre_tokenizer = pre_tokenizers.Sequence(
        [
            pre_tokenizers.Split(Regex(CLIP_PATTERN), behavior="removed", invert=True),
            pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False),
        ]
    )
    tok.decoder = decoders.BPEDecoder(suffix="</w>")
    tok.post_processor = processors.RobertaProcessing(
        ("<|endoftext|>", 1), ("<|startoftext|>", 0), add_prefix_space=False, trim_offsets=False
    )
    trainer = trainers.BpeTrainer(
        vocab_size=1200,
        special_tokens=["<|startoftext|>", "<|endoftext|>"],
        end_of_word_suffix="</w>",
        initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
        show_progress=False,
    )
    return _train(tok, trainer, end_of_word_suffix="</w>")


def prefixed_bpe() -> str:
    """BPE with a continuing-subword prefix over whitespace, punctuation and digit splits."""
    from tokenizers import Tokenizer, decoders, models, normalizers, pre_tokenizers, processors, trainers

    tok = Tokenizer(models.BPE(unk_token="[UNK]", continuing_subword_prefix="##"))
    tok.normalizer = normalizers.Sequence(
        [normalizers.NFD(), normalizers.StripAccents(), normalizers.Strip(), normalizers.Lowercase()]
    )
    tok.pre_tokenizer = pre_tokenizers.Sequence(
        [
            pre_tokenizers.WhitespaceSplit(),
            pre_tokenizers.Punctuation(behavior="isolated"),
            pre_tokenizers.Digits(individual_digits=True),
        ]
    )
    tok.decoder = decoders.WordPiece(prefix="##")
    tok.post_processor = processors.BertProcessing(("[SEP]", 2), ("[CLS]", 1))
    trainer = trainers.BpeTrainer(
        vocab_size=1000,
        special_tokens=["[UNK]", "[CLS]", "[SEP]"],
        continuing_subword_prefix="##",
        limit_alphabet=200,
        show_progress=False,
    )
    return _train(tok, trainer, continuing_subword_prefix="##")


def bert_cased() -> str:
    """Cased BERT WordPiece with a short max_input_chars_per_word."""
    from tokenizers import Tokenizer, decoders, models, normalizers, pre_tokenizers, processors, trainers

    tok = Tokenizer(models.WordPiece(unk_token="[UNK]"))
    tok.normalizer = normalizers.BertNormalizer(lowercase=False, strip_accents=False)
    tok.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
    tok.decoder = decoders.WordPiece()
    tok.post_processor = processors.TemplateProcessing(
        single="[CLS] $A [SEP]", pair="[CLS] $A [SEP] $B:1 [SEP]:1", special_tokens=[("[CLS]", 1), ("[SEP]", 2)]
    )
    trainer = trainers.WordPieceTrainer(
        vocab_size=1500, special_tokens=["[UNK]", "[CLS]", "[SEP]", "[PAD]", "[MASK]"], limit_alphabet=300,
        show_progress=False,
    )
    return _train(tok, trainer, max_input_chars_per_word=12)


def word_level() -> str:
    """WordLevel over Whitespace, with the remaining splitters and a ByteLevel normalizer in front."""
    from tokenizers import Tokenizer, models, normalizers, pre_tokenizers, trainers

    tok = Tokenizer(models.WordLevel(unk_token="[UNK]"))
    tok.normalizer = normalizers.Sequence([normalizers.NFKD(), normalizers.Replace("\t", " ")])
    tok.pre_tokenizer = pre_tokenizers.Sequence(
        [pre_tokenizers.CharDelimiterSplit("|"), pre_tokenizers.Whitespace()]
    )
    trainer = trainers.WordLevelTrainer(vocab_size=3000, special_tokens=["[UNK]"], show_progress=False)
    return _train(tok, trainer)


def byte_level_normalized() -> str:
    """Byte-level BPE whose bytes come from the ByteLevel normalizer, with no pre-tokenizer splits."""
    from tokenizers import Tokenizer, decoders, models, normalizers, pre_tokenizers, trainers

    tok = Tokenizer(models.BPE())
    tok.normalizer = normalizers.ByteLevel()
    tok.pre_tokenizer = pre_tokenizers.Split(" ", behavior="merged_with_next")
    tok.decoder = decoders.ByteLevel()
    trainer = trainers.BpeTrainer(
        vocab_size=800, initial_alphabet=pre_tokenizers.ByteLevel.alphabet(), show_progress=False
    )
    return _train(tok, trainer)


TRAINED = {
    "llama3-like": llama3_like,
    "llama2-like": llama2_like,
    "llama2-words": llama2_words,
    "metaspace-bpe": metaspace_bpe,
    "clip-like": clip_like,
    "prefixed-bpe": prefixed_bpe,
    "bert-cased": bert_cased,
    "word-level": word_level,
    "byte-level-normalized": byte_level_normalized,
}


def with_added_tokens(doc_text: str) -> str:
    """The document with added tokens of every option, special and not, some already in the
    vocabulary and some new."""
    doc = json.loads(doc_text)
    vocab = doc["model"]["vocab"]
    existing = next(t for t in vocab if len(t) > 3 and t.isalpha())
    extra = [
        dict(content="<mask>", single_word=False, lstrip=True, rstrip=False, normalized=False, special=True),
        dict(content="[SPLIT]", single_word=False, lstrip=False, rstrip=True, normalized=False, special=True),
        dict(content="Hello", single_word=True, lstrip=False, rstrip=False, normalized=True, special=False),
        dict(content="wörld", single_word=False, lstrip=True, rstrip=True, normalized=True, special=False),
        dict(content="the", single_word=True, lstrip=False, rstrip=False, normalized=False, special=False),
        dict(content=existing, single_word=False, lstrip=False, rstrip=False, normalized=True, special=False),
        dict(content="<|x|>", single_word=False, lstrip=False, rstrip=False, normalized=False, special=True),
        dict(content="<|x|>y", single_word=False, lstrip=False, rstrip=False, normalized=False, special=False),
    ]
    doc["added_tokens"] = list(doc.get("added_tokens") or []) + [dict(id=0, **t) for t in extra]
    return json.dumps(doc)
