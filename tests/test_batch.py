"""Batches on the worker pool give exactly the single-text results, in input order."""

import multiprocessing
import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings, strategies as st

from kwsieve import KeywordProcessor

KEYWORDS = {"apple": "fruit", "new york": "NYC", "new": None, "café": "coffee", "aple": None, "i": None}


def processor():
    kp = KeywordProcessor()
    for keyword, clean_name in KEYWORDS.items():
        kp.add_keyword(keyword, clean_name)
    return kp


def as_tuples(matches):
    return [(m.keyword, m.similarity, m.start, m.end) for m in matches]


def single(kp, texts, threshold):
    return ([as_tuples(kp.extract_keywords(t, threshold)) for t in texts],
            [kp.replace_keywords(t, threshold) for t in texts])


def batch(kp, texts, threshold):
    return ([as_tuples(ms) for ms in kp.parallel_extract_keywords_from_texts(texts, threshold)],
            kp.parallel_replace_keywords_from_texts(texts, threshold))


words = st.sampled_from(["apple", "Apple", "aple", "new", "York", "new york", "café", "İ", "x", "pie", "-", ","])
texts = st.lists(words, max_size=8).map(" ".join)


@settings(max_examples=60, deadline=None)
@given(st.lists(texts, max_size=40), st.sampled_from([None, 1.0, 0.9, 0.75, 0.5]))
def test_batch_equals_single_text_results_in_order(batch_texts, threshold):
    kp = processor()
    assert batch(kp, batch_texts, threshold) == single(kp, batch_texts, threshold)


def test_duplicates_single_text_and_empty_list():
    kp = processor()
    texts = ["new york apple"] * 5 + ["Apple pie"] + ["new york apple"] * 5
    assert batch(kp, texts, None) == single(kp, texts, None)
    assert batch(kp, ["an aple a day"], 0.8) == single(kp, ["an aple a day"], 0.8)
    # The threshold is checked per text, so an empty batch never faults.
    assert kp.parallel_extract_keywords_from_texts([], 5) == []
    assert kp.parallel_replace_keywords_from_texts([], 5) == []


@pytest.mark.parametrize("threshold", [1.5, -0.1, float("nan")])
@pytest.mark.parametrize("n", [1, 2, 7, 100])
def test_bad_threshold_faults_and_processor_stays_usable(panic_type, threshold, n):
    kp = processor()
    texts = ["apple"] * n
    for method in (kp.parallel_extract_keywords_from_texts, kp.parallel_replace_keywords_from_texts):
        with pytest.raises(panic_type, match="Threshold must be between 0 and 1"):
            method(texts, threshold)
    kp.add_keyword("pie")  # the shared borrow was released
    assert kp.parallel_replace_keywords_from_texts(["apple pie"]) == ["fruit pie"]


@pytest.mark.parametrize("texts, error", [
    ("apple pie", TypeError),
    ((t for t in ["apple"]), TypeError),
    (["apple", 3], TypeError),
    (["apple", "\ud800"], UnicodeEncodeError),
    ({"apple"}, TypeError),
])
def test_argument_errors_come_before_any_work(texts, error):
    kp = processor()
    with pytest.raises(error) as info:
        kp.parallel_extract_keywords_from_texts(texts)
    if error is TypeError:
        assert "texts" in str(info.value)
    assert kp.parallel_extract_keywords_from_texts(["apple"])[0][0].keyword == "fruit"


SUBPROCESS_CHECK = textwrap.dedent("""
    import random, kwsieve
    kp = kwsieve.KeywordProcessor()
    for k in ["apple", "new york", "new", "pie", "an"]:
        kp.add_keyword(k)
    rng = random.Random(7)
    words = ["apple", "new", "york", "pie", "an", "aple", "x"]
    texts = [" ".join(rng.choice(words) for _ in range(rng.randrange(12))) for _ in range({n})]
    for t in (None, 0.8):
        got = [[(m.keyword, m.similarity, m.start, m.end) for m in ms]
               for ms in kp.parallel_extract_keywords_from_texts(texts, t)]
        want = [[(m.keyword, m.similarity, m.start, m.end) for m in kp.extract_keywords(x, t)] for x in texts]
        assert got == want
        assert kp.parallel_replace_keywords_from_texts(texts, t) == [kp.replace_keywords(x, t) for x in texts]
    print("ok")
""")


@pytest.mark.parametrize("env, n", [
    ({"RAYON_NUM_THREADS": "1"}, 200),
    ({"RAYON_NUM_THREADS": "2"}, 200),
    ({"RAYON_NUM_THREADS": "16"}, 5),     # more threads than texts
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, 50),
    ({"RAYON_NUM_THREADS": "junk"}, 50),
])
def test_thread_counts_from_the_environment(env, n):
    full = {k: v for k, v in os.environ.items() if not k.startswith("RAYON")}
    full.update(env)
    out = subprocess.run([sys.executable, "-c", SUBPROCESS_CHECK.format(n=n)], env=full,
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


def _child_batch(queue):
    kp = processor()
    queue.put(kp.parallel_replace_keywords_from_texts(["apple pie", "new york"] * 20))


@pytest.mark.filterwarnings("ignore:This process.*is multi-threaded:DeprecationWarning")
def test_child_of_fork_starts_its_own_pool():
    kp = processor()
    assert kp.parallel_replace_keywords_from_texts(["apple"] * 50) == ["fruit"] * 50  # the parent's pool runs
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    child = ctx.Process(target=_child_batch, args=(queue,))
    child.start()
    child.join(60)
    if child.is_alive():
        child.kill()
        pytest.fail("a batch in a forked child hung")
    assert child.exitcode == 0
    assert queue.get(timeout=5) == ["fruit pie", "NYC"] * 20
