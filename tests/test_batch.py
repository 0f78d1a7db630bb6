"""Batches on the worker pool give exactly the single-text results, in input order."""

import multiprocessing
import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings, strategies as st

from kwsieve import KeywordProcessor
from model import tuples

KEYWORDS = {"apple": "fruit", "new york": "NYC", "new": None, "café": "coffee", "aple": None, "i": None}


def processor():
    kp = KeywordProcessor()
    for keyword, clean_name in KEYWORDS.items():
        kp.add_keyword(keyword, clean_name)
    return kp


def single(kp, texts, threshold):
    return ([tuples(kp.extract_keywords(t, threshold)) for t in texts],
            [kp.replace_keywords(t, threshold) for t in texts])


def batch(kp, texts, threshold):
    return (tuples(kp.parallel_extract_keywords_from_texts(texts, threshold)),
            kp.parallel_replace_keywords_from_texts(texts, threshold))


words = st.sampled_from(["apple", "Apple", "aple", "new", "York", "new york", "café", "İ", "x", "pie", "-", ","])
texts = st.lists(words, max_size=8).map(" ".join)


@settings(max_examples=60, deadline=None)
@given(st.lists(texts, max_size=40), st.sampled_from([None, 1.0, 0.9, 0.75, 0.5]))
def test_batch_equals_single_text_results_in_order(batch_texts, threshold):
    kp = processor()
    assert batch(kp, batch_texts, threshold) == single(kp, batch_texts, threshold)


SUBPROCESS_CHECK = textwrap.dedent("""
    import random, kwsieve
    kp = kwsieve.KeywordProcessor()
    for k in ["apple", "new york", "new", "pie", "an"]:
        kp.add_keyword(k)
    rng = random.Random(7)
    words = ["apple", "new", "york", "pie", "an", "aple", "x"]
    texts = [" ".join(rng.choice(words) for _ in range(rng.randrange(12))) for _ in range({n})]
    plain = lambda ms: [(m.keyword, m.similarity, m.start, m.end) for m in ms]
    for t in (None, 0.8):
        got = kp.parallel_extract_keywords_from_texts(texts, t)
        assert list(map(plain, got)) == [plain(kp.extract_keywords(x, t)) for x in texts]
        assert kp.parallel_replace_keywords_from_texts(texts, t) == [kp.replace_keywords(x, t) for x in texts]
    print("ok")
""")


# How the variables are read is tested in tests/cpp/pool_stress.cpp.
@pytest.mark.parametrize("env, n", [
    ({"RAYON_NUM_THREADS": "1"}, 200),
    ({"RAYON_NUM_THREADS": "16"}, 5),     # more threads than texts
    ({"RAYON_NUM_THREADS": "junk", "RAYON_RS_NUM_CPUS": "3"}, 50),
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
