"""Reference counts: the binding's calls leave the interpreter's allocated
blocks (and, where nothing is stored, resident memory) flat over long loops,
on the memory backend so the loops measure the binding and not disk syncs.

The loop counts are the full ones with ZV_LEAK_FULL=1; by default a tenth
(a fiftieth for search), which still shows a leak of one object per call."""
import gc
import os
import sys
from datetime import datetime, timezone

import numpy as np
import pytest

from dozudaz_id import Vector, connect

FULL = os.environ.get("ZV_LEAK_FULL") == "1"
BLOCK_ALLOWANCE = 2_000
RSS_ALLOWANCE = 8 << 20


def scaled(full, divisor=10):
    return full if FULL else max(full // divisor, 1)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_flat(fn, n, check_rss=True):
    for _ in range(max(n // 20, 3)):
        fn()
    gc.collect()
    blocks, rss = sys.getallocatedblocks(), rss_bytes()
    for _ in range(n):
        fn()
    gc.collect()
    grown = sys.getallocatedblocks() - blocks
    assert grown < BLOCK_ALLOWANCE, f"{grown} blocks more after {n} calls"
    if check_rss:
        assert rss_bytes() - rss < RSS_ALLOWANCE, f"resident memory grew by {rss_bytes() - rss} bytes"


@pytest.fixture(scope="module")
def mem():
    client = connect("", backend="memory")
    rng = np.random.default_rng(7)
    for i in range(1_000):
        client.put("ns", f"k{i}", f"note {i} alpha beta", metadata={"n": i, "tag": "t"},
                   vector=rng.random(8, dtype=np.float32), sparse_vector={i % 50: 1.0})
    yield client
    client.close()


@pytest.fixture(scope="module")
def closed():
    client = connect("", backend="memory")
    client.close()
    return client


def read_record(r):
    return (r.namespace, r.key, r.payload, r.metadata, r.vector, r.version, r.created_at_ms)


def refused(client):
    try:
        client.memory.get("ns", "k")
    except RuntimeError as e:
        assert str(e) == "database is closing"
    else:
        raise AssertionError("a closed client answered")


V = Vector([1.0, 2.5, -3.0, 4.0, 5.0, 6.0, 7.0])

CALLS = {
    "vector_item": lambda c: Vector([1.0, 2.0, 3.0])[1],
    "vector_repr": lambda c: repr(V),
    "array_interface": lambda c: V.__array_interface__,
    "capabilities": lambda c: c.capabilities(),
    "get_present": lambda c: c.memory.get("ns", "k7"),
    "get_missing": lambda c: c.memory.get("ns", "absent"),
    "record_properties": lambda c: read_record(c.memory.get("ns", "k9")),
}


@pytest.mark.parametrize("name", CALLS)
def test_reads_stay_flat(mem, name):
    call = CALLS[name]
    assert_flat(lambda: call(mem), scaled(1_000_000))


def walk_page(page):
    """Index, iterate and read the properties of a page."""
    out = [page[0], page[1].key, page["total_count"], page.next_cursor, len(page), repr(page)]
    out.extend(r.key for r in page)
    return out


def test_list_result_operations_stay_flat(mem):
    page = mem.memory.list("ns", limit=3)
    assert_flat(lambda: walk_page(page), scaled(1_000_000, 8))


def test_list_and_count_stay_flat(mem):
    # A small namespace of its own: the loop measures the binding, not the scan.
    for i in range(5):
        mem.put("small", f"k{i}", "p", metadata={"n": i, "tag": "t"})
    assert_flat(lambda: (mem.memory.list("small", filters={"tag": "t"}, limit=3),
                         mem.count("small", {"n": {"$lt": 3}})), scaled(100_000, 20))


def test_search_multi_stays_flat(mem):
    query = np.linspace(0, 1, 8, dtype=np.float32)
    assert_flat(lambda: mem.search_multi(["ns", "other"], query, top_k=10), scaled(100_000, 50))


def test_refused_calls_stay_flat(closed):
    assert_flat(lambda: refused(closed), scaled(1_000_000))


def test_flush_stays_flat(mem):
    assert_flat(mem.flush, scaled(100_000))


def test_hybrid_search_stays_flat(mem):
    query = np.random.default_rng(3).random(8, dtype=np.float32)

    def search():
        hits = mem.search("ns", query, text_query="alpha", top_k=10)
        assert len(hits) == 10
        for h in hits:
            (h.id, h.score, read_record(h))

    assert_flat(search, scaled(100_000, 50))


def test_writes_stay_flat_in_blocks(mem):
    vector = np.arange(8, dtype=np.float32)
    when = datetime(2024, 1, 1, tzinfo=timezone.utc)
    i = iter(range(10**9))

    def put():
        n = next(i)
        mem.put("w", f"k{n % 1000}", "payload", metadata={"when": when, "tags": ["a", "b"]},
                vector=vector, sparse_vector={n % 7: 0.5})

    assert_flat(put, scaled(100_000), check_rss=False)
    batch = [{"namespace": "w", "key": f"k{n}", "payload": "p", "metadata": {"n": n}, "vector": vector}
             for n in range(1_000)]
    assert_flat(lambda: mem.put_batch(batch), scaled(100), check_rss=False)
