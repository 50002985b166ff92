"""Listing, counting and deleting by filter: MemoryClient.list and its
ListResult pages, count, list_namespaces and delete_by_filter, paging across
dropped records, and readers beside a writer that never pauses."""
import math
import threading
import time

import pytest

from dozudaz_id import Record, ValidationError, connect
import dozudaz_id


@pytest.fixture
def mem():
    client = connect("", backend="memory")
    yield client
    client.close()


def put_three(client, ns="ns"):
    for i in range(3):
        client.put(ns, f"k{i}", f"p{i}", metadata={"n": i})


WINDOW_ERR = "Invalid input: valid_window.from_ms (10) must be < valid_window.to_ms (10)"
CONF_ERR = "Invalid input: SEARCH_OPTIONS_INVALID: min_confidence must be finite and within [0, 1]"
UNSUPPORTED = "Unsupported field value. Use str, int, float, bool, datetime, list, or None."


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"limit": None}, TypeError, None),
    ({"filters": {"n": {"$gte": 1}}}, TypeError, UNSUPPORTED),
    ({"valid_window": {"from_ms": 10}}, ValueError, "valid_window requires 'to_ms'"),
    ({"valid_window": {"from_ms": None, "to_ms": 5}}, ValueError,
     "valid_window.from_ms must be a non-negative integer"),
    ({"valid_window": {"from_ms": 10, "to_ms": 10}}, ValidationError, WINDOW_ERR),
    ({"min_confidence": 1.5}, ValidationError, CONF_ERR),
    ({"min_confidence": math.nan}, ValidationError, CONF_ERR),
    ({"filters": {"__zolva_x": 1}}, ValidationError,
     "Validation error on metadata: metadata key '__zolva_x' is reserved for ZivirOR internals"),
    ({"filters": [("n", 1)]}, TypeError, None),
    ({"cursor": -1}, OverflowError, None),
])
def test_list_refusals(mem, kwargs, exc, message):
    put_three(mem)
    with pytest.raises(exc) as info:
        mem.memory.list("ns", **kwargs)
    if message is not None:
        assert str(info.value) == message
    if exc is TypeError and "limit" in kwargs:
        assert any("limit" in n for n in getattr(info.value, "__notes__", [])) or "limit" in str(info.value)


def test_list_pages_and_options(mem):
    put_three(mem)
    empty = mem.memory.list("ns", limit=0)
    assert (len(empty), empty.next_cursor, bool(empty)) == (0, None, False)
    whole = mem.memory.list("ns", filters={})
    assert sorted(r.key for r in whole) == ["k0", "k1", "k2"]
    assert [r.key for r in mem.memory.list("ns", filters={"n": 1})] == ["k1"]
    # A bool is an integer here: from_ms True is 1.
    assert len(mem.memory.list("ns", valid_window={"from_ms": True, "to_ms": 2**62})) == 3
    assert len(mem.memory.list("other")) == 0


def test_lifecycle_options_select_by_validity(mem):
    rec = mem.put("ns", "k", "p")
    t = rec.valid_at_ms
    assert len(mem.memory.list("ns", as_of_ms=t - 1)) == 0
    assert len(mem.memory.list("ns", as_of_ms=t)) == 1
    assert len(mem.memory.list("ns", valid_window={"from_ms": t - 5, "to_ms": t + 5})) == 1
    assert len(mem.memory.list("ns", valid_window={"from_ms": 0, "to_ms": t})) == 0
    assert len(mem.memory.list("ns", min_confidence=0.0)) == 1


def test_list_result_surface(mem):
    put_three(mem)
    page = mem.memory.list("ns", limit=3)
    assert len(page) == page.total_count == page["total_count"] == 3
    assert isinstance(page[2], Record)
    assert page[True].key == page.records[1].key
    with pytest.raises(IndexError, match="^list index out of range$"):
        page[3]
    for key in (-1, 1.0, None, 2**64):
        with pytest.raises(TypeError, match="^ListResult indices must be integers or strings$"):
            page[key]
    records = page["records"]
    assert len(records) == 3 and all(isinstance(r, Record) for r in records)
    assert records[0] is not page.records[0]
    with pytest.raises(KeyError) as info:
        page["nope"]
    assert info.value.args == ("ListResult has no field 'nope'",)
    assert page["next_cursor"] == page.next_cursor
    assert repr(page) == f"ListResult(count=3, next_cursor={'Some(3)' if page.next_cursor else 'None'})"
    assert repr(mem.memory.list("ns", limit=2)) == "ListResult(count=2, next_cursor=Some(2))"
    assert repr(mem.memory.list("ns", limit=10)) == "ListResult(count=3, next_cursor=None)"

    a, b = iter(page), iter(page)
    assert type(a).__name__ == "ListResultIter" and not hasattr(dozudaz_id, "ListResultIter")
    assert iter(a) is a
    assert next(a).key == page[0].key
    assert [r.key for r in b] == [r.key for r in page.records]
    assert [r.key for r in a] == [r.key for r in page.records[1:]]
    for _ in range(2):
        with pytest.raises(StopIteration, match="^end of iteration$"):
            next(a)
    with pytest.raises(TypeError):
        dozudaz_id.ListResult()

    mem.close()
    assert [r.payload for r in page] == [r.payload for r in page.records] and len(page) == 3


def test_paging_visits_every_match_once_across_dropped_records(mem):
    # Every third record is either expired or fails the filter, so most pages
    # hold fewer records than their limit and must still carry a cursor.
    rows = []
    for i in range(2500):
        if i % 3 == 0 and i % 2 == 0:
            rows.append({"namespace": "ns", "key": f"k{i:05}", "metadata": {"t": "a"}, "ttl_ms": 1})
        else:
            rows.append({"namespace": "ns", "key": f"k{i:05}", "metadata": {"t": "b" if i % 3 == 0 else "a"}})
    for start in range(0, len(rows), 500):
        mem.put_batch(rows[start:start + 500])
    time.sleep(0.01)
    expected = {f"k{i:05}" for i in range(2500) if i % 3 != 0}

    seen, cursor, short_pages_with_cursor = [], None, 0
    while True:
        page = mem.memory.list("ns", filters={"t": "a"}, limit=97, cursor=cursor)
        assert len(page) <= 97
        seen.extend(r.key for r in page)
        cursor = page.next_cursor
        if cursor is None:
            break
        short_pages_with_cursor += len(page) < 97
    assert len(seen) == len(set(seen)) and set(seen) == expected
    assert short_pages_with_cursor > 0
    assert mem.count("ns", {"t": "a"}) == len(expected)
    assert mem.count("ns", None) == mem.count("ns", {}) == 2500 - len([i for i in range(0, 2500, 6)])


def test_delete_by_filter_removes_every_match(mem):
    rows = [{"namespace": "ns", "key": f"k{i}", "metadata": {"g": i % 5, "n": i}} for i in range(3000)]
    for start in range(0, 3000, 1000):
        mem.put_batch(rows[start:start + 1000])
    # g in {0, 1}: 1200 of 3000.
    assert mem.memory.delete_by_filter("ns", {"g": {"$lte": 1}}) == 1200
    assert mem.count("ns", {"g": {"$lte": 1}}) == 0
    assert mem.count("ns") == 1800
    assert mem.delete_by_filter("ns", {"g": 99}) == 0


def test_count_filter_grammar(mem):
    for i in range(12):
        mem.put("ns", f"k{i}", "p", metadata={"n": i, "s": "x" if i % 2 else "y"})
    assert mem.count("ns", {"n": {"$gte": 1, "$lt": 10}}) == 9
    assert mem.count("ns", {"n": {"$gt": 3}, "s": "x"}) == 4
    assert mem.count("ns", {"n": {"$neq": 0, "$lte": 2}}) == 2
    assert mem.count("ns", {"n": {}}) == 12
    assert mem.memory.count("ns", {"s": {"$eq": "y"}}) == 6


@pytest.mark.parametrize("filters, exc, message", [
    ({"n": {"$in": [1]}}, ValueError,
     "Unknown filter operator '$in' for field 'n'. Supported: $eq, $neq, $gt, $gte, $lt, $lte"),
    ({"n": {"$in": object()}}, ValueError,
     "Unknown filter operator '$in' for field 'n'. Supported: $eq, $neq, $gt, $gte, $lt, $lte"),
    ({"n": {"$EQ": 1}}, ValueError,
     "Unknown filter operator '$EQ' for field 'n'. Supported: $eq, $neq, $gt, $gte, $lt, $lte"),
    ({"n": math.nan}, TypeError, "Float field value cannot be NaN."),
    ({"n": {"$gt": math.nan}}, TypeError, "Float field value cannot be NaN."),
    ({"n": {"$gt": object()}}, TypeError, UNSUPPORTED),
    ({1: 2}, TypeError, None),
    ({"n": {1: 2}}, TypeError, None),
])
def test_filter_refusals(mem, filters, exc, message):
    mem.put("ns", "k", "p", metadata={"n": 1})
    for call in (mem.count, mem.delete_by_filter):
        with pytest.raises(exc) as info:
            call("ns", filters)
        if message is not None:
            assert str(info.value) == message
    assert mem.count("ns") == 1


def test_delete_by_filter_refusals(mem, db_path):
    mem.put("ns", "k", "p", metadata={"n": 1})
    with pytest.raises(TypeError) as info:
        mem.delete_by_filter("ns", None)
    assert "filters" in str(info.value) + "".join(getattr(info.value, "__notes__", []))
    with pytest.raises(ValidationError) as info:
        mem.delete_by_filter("ns", {})
    assert str(info.value) == (
        "Invalid input: delete_by_filter requires at least one filter item to prevent accidental "
        "full-namespace deletion. Use delete() to remove individual records.")
    assert mem.count("ns") == 1

    with connect(db_path) as db:
        db.put("ns", "k", "p", metadata={"n": 1})
    with connect(db_path, read_only=True) as db:
        with pytest.raises(ValidationError, match="read_only: this operation is not available"):
            db.delete_by_filter("ns", {"n": 1})
        assert db.count("ns") == 1


def test_list_namespaces(mem):
    assert mem.list_namespaces() == []
    for ns in ["b", "a", "c", "a", "b"]:
        mem.put(ns, f"k{len(ns)}{ns}", "p")
    mem.put("a", "other", "p")
    assert mem.list_namespaces() == ["a", "b", "c"]
    assert mem.memory.list_namespaces() == ["a", "b", "c"]


def test_every_method_on_a_closed_client(mem):
    mem.close()
    for call in (lambda: mem.memory.list("ns"), lambda: mem.count("ns"), mem.list_namespaces,
                 lambda: mem.delete_by_filter("ns", {"n": 1})):
        with pytest.raises(RuntimeError, match="^database is closing$"):
            call()


def test_readers_beside_a_writer_that_never_pauses(mem):
    for i in range(200):
        mem.put("ns", f"base{i}", "p", metadata={"n": i}, vector=[1.0, float(i % 7)])
    stop = threading.Event()
    errors = []

    def writer():
        i = 0
        while not stop.is_set():
            mem.put("ns", f"w{i % 50}", "p", metadata={"n": i}, vector=[0.5, 1.0])
            mem.memory.delete("ns", f"w{(i + 25) % 50}")
            i += 1

    def reader(n):
        try:
            for _ in range(60):
                mem.search("ns", [1.0, 0.0], top_k=5)
                mem.search_multi(["ns", "none"], [1.0, 0.0], top_k=5)
                page = mem.memory.list("ns", limit=50)
                assert len(page) <= 50
                assert mem.count("ns") >= 200
        except Exception as e:  # reported to the main thread
            errors.append(e)

    w = threading.Thread(target=writer)
    w.start()
    readers = [threading.Thread(target=reader, args=(n,)) for n in range(4)]
    for t in readers:
        t.start()
    for t in readers:
        t.join()
    stop.set()
    w.join()
    assert errors == []
