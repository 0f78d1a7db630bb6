"""Load keywords from a TSV file and show what kwsieve finds in a text.

    python examples/demo.py [keywords.tsv] [text.txt] [threshold]

With no arguments it uses the sample files next to this script.
"""

import pathlib
import sys

import kwsieve

HERE = pathlib.Path(__file__).resolve().parent


def load(processor: kwsieve.KeywordProcessor, path: str | pathlib.Path) -> None:
    for line in pathlib.Path(path).read_text(encoding="utf-8").splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        keyword, _, clean_name = line.partition("\t")
        processor.add_keyword(keyword, clean_name or None)


def main(argv: list[str]) -> None:
    keywords = argv[1] if len(argv) > 1 else HERE / "keywords.tsv"
    text_path = argv[2] if len(argv) > 2 else HERE / "text.txt"
    threshold = float(argv[3]) if len(argv) > 3 else None
    text = pathlib.Path(text_path).read_text(encoding="utf-8")

    processor = kwsieve.KeywordProcessor()
    load(processor, keywords)
    print(processor)
    print()
    print("Matches (offsets are UTF-8 byte offsets into the lowercased text):")
    for match in processor.extract_keywords(text, threshold):
        print(" ", match)
    print()
    print("Approximate matches at threshold 0.8:")
    for match in processor.extract_keywords("A data enginer in Los Angelos", 0.8):
        print(" ", match)
    print()
    print("Replaced:")
    print(processor.replace_keywords(text, threshold))


if __name__ == "__main__":
    main(sys.argv)
