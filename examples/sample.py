"""Sample data shared by the column and pipeline examples: the demo's keywords, and rows
cut from the demo's text (with a missing value, an empty string and text whose lowercase
form is longer than itself among them)."""

import pathlib
import re

import kwsieve

HERE = pathlib.Path(__file__).resolve().parent


def processor():
    kp = kwsieve.KeywordProcessor()
    for line in (HERE / "keywords.tsv").read_text(encoding="utf-8").splitlines():
        if line.strip() and not line.startswith("#"):
            keyword, _, clean_name = line.partition("\t")
            kp.add_keyword(keyword, clean_name or None)
    return kp


def rows(n):
    """n texts: the demo text's sentences in turn, every 7th None, every 11th empty."""
    text = (HERE / "text.txt").read_text(encoding="utf-8")
    sentences = [s.strip() for s in re.split(r"(?<=[.!?])\s+", text) if s.strip()]
    sentences.append("İstanbul, then New York: an apple a day in São Paulo.")
    out = []
    for i in range(n):
        out.append(None if i % 7 == 3 else "" if i % 11 == 5 else sentences[i % len(sentences)])
    return out
