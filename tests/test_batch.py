"""Batches on the worker pool, sized from the environment and restarted in a forked child.
Random batches against the single-text results are in test_columns.py."""

import multiprocessing
import os
import subprocess
import sys
import textwrap

import pytest

from kwsieve import KeywordProcessor


def processor():
    kp = KeywordProcessor()
    kp.add_keyword("apple", "fruit")
    kp.add_keyword("new york", "NYC")
    return kp


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
