"""Records by key (memory.get and memory.delete) and many at once
(put_batch), on the directory fixture."""
import threading
import time

import numpy as np
import pytest

from dozudaz_id import Record, connect

STR_NOTE = ["while processing 'records'"]


def test_get_and_delete(db):
    memory = db.memory
    stored = db.put("ns", "k", "hello", metadata={"a": 1}, vector=[1.0, 2.0])
    got = memory.get("ns", "k")
    assert isinstance(got, Record)
    assert (got.namespace, got.key, got.payload, got.metadata, got.version) == ("ns", "k", "hello", {"a": 1}, 1)
    assert list(got.vector) == [1.0, 2.0] and got.node_id == stored.node_id
    assert memory.get("ns", "missing") is None
    assert memory.get("other", "k") is None
    assert memory.delete("ns", "k") is True
    assert memory.get("ns", "k") is None
    assert memory.delete("ns", "k") is False
    assert memory.get(namespace="ns", key="k") is None


def test_an_expired_record_reads_as_none(db):
    db.put("ns", "gone", "p", ttl_ms=0)
    time.sleep(0.005)
    assert db.memory.get("ns", "gone") is None


@pytest.mark.parametrize("call,exc,message", [
    (lambda m: m.get("ns"), TypeError, "key"),
    (lambda m: m.get(1, "k"), TypeError, "'int' object is not an instance of 'str'"),
    (lambda m: m.delete("ns", None), TypeError, "'None' is not an instance of 'str'"),
])
def test_get_and_delete_argument_errors(db, call, exc, message):
    with pytest.raises(exc, match=message):
        call(db.memory)


def test_core_refusals_through_get(db):
    from dozudaz_id import ValidationError
    with pytest.raises(ValidationError, match="namespace must not be empty"):
        db.memory.get("", "k")
    with pytest.raises(ValidationError, match="key must be at most 512 bytes"):
        db.memory.delete("ns", "k" * 513)


def test_long_values_are_stored_whole_and_survive_reopen(db_path):
    text = "x" * 70_000
    word = "w" * 70_000
    with connect(db_path) as db:
        db.put("ns", "long", word, metadata={"text": text})
        got = db.memory.get("ns", "long")
        assert got.payload == word and got.metadata == {"text": text}
    with connect(db_path) as db:
        got = db.memory.get("ns", "long")
        assert got.payload == word and got.metadata == {"text": text}


def test_reopen_keeps_every_acknowledged_record(db_path):
    with connect(db_path) as db:
        for i in range(50):
            db.put("ns", f"p{i}", f"one {i}")
        db.put_batch([{"namespace": "ns", "key": f"b{i}", "payload": f"batch {i}"} for i in range(200)])
        db.memory.delete("ns", "p7")
    with connect(db_path) as db:
        assert [db.memory.get("ns", f"p{i}").payload for i in range(50) if i != 7] == \
            [f"one {i}" for i in range(50) if i != 7]
        assert db.memory.get("ns", "p7") is None
        assert all(db.memory.get("ns", f"b{i}").payload == f"batch {i}" for i in range(200))


def test_put_batch_defaults_order_and_layouts(db):
    assert db.put_batch([]) == []
    only_key = db.put_batch([{"key": "k"}])
    assert [(r.namespace, r.key, r.payload, r.metadata) for r in only_key] == [("default", "k", "", {})]
    mixed = db.put_batch([
        {"key": "z", "namespace": None, "payload": None, "metadata": None, "vector": None,
         "ttl_ms": None, "sparse_vector": None, "confidence": 0.5},
        {"key": "a", "namespace": "ns", "payload": "p", "metadata": {"n": 1}, "ttl_ms": 60_000,
         "sparse_vector": {3: 0.5}},
        {"key": "m", "namespace": "ns", "payload": "q"},
    ])
    assert [(r.namespace, r.key) for r in mixed] == [("default", "z"), ("ns", "a"), ("ns", "m")]
    assert db.memory.get("ns", "a").metadata == {"n": 1}
    rows = np.arange(12, dtype=np.float32).reshape(3, 4)
    stored = db.put_batch([{"namespace": "v", "key": f"r{i}", "vector": row} for i, row in enumerate(rows)])
    assert [list(r.vector) for r in stored] == rows.tolist()
    assert [list(db.memory.get("v", f"r{i}").vector) for i in range(3)] == rows.tolist()


class Sneaky(dict):
    """A dict subclass whose attribute and item overrides must not be used."""

    def __getitem__(self, name):
        raise AssertionError("item override used")

    def get(self, *args):
        raise AssertionError("get override used")


@pytest.mark.parametrize("records,exc,message,notes", [
    ("abc", TypeError, "Can't extract `str` to `Vec`", STR_NOTE),
    ((r for r in [{"key": "a"}]), TypeError, "'generator' object is not an instance of 'Sequence'", STR_NOTE),
    ([{"key": "a"}, ["key", "b"]], TypeError,
     'put_batch: each record must be a dict, e.g. {"namespace": "ns", "key": "k", "payload": "p"}', None),
    ([{"key": "a"}, {"key": "b"}, {"payload": "c"}], ValueError, "put_batch: record is missing required key 'key'", None),
    ([{"key": "a"}, {"key": None}], TypeError, "'None' is not an instance of 'str'", None),
    ([{"key": "a"}, {"key": b"b"}], TypeError, "'bytes' object is not an instance of 'str'", None),
    ([{"key": "a"}, {"key": "b", "namespace": 3}], TypeError, "'int' object is not an instance of 'str'", None),
    ([{"key": "a"}, {"key": "b", "metadata": [("x", 1)]}], TypeError, "put_batch: record 'metadata' must be a dict", None),
    ([{"key": "a"}, {"key": "b", "sparse_vector": [1, 2]}], TypeError,
     "put_batch: record 'sparse_vector' must be a dict", None),
    ([{"key": "a"}, {"key": "b", "metadata": {"x": (1,)}}], TypeError, "Unsupported field value", None),
    ([{"key": "a"}, {"key": "b", "ttl_ms": -1}], OverflowError, "", None),
    ([{"key": "a"}, {"key": "b", "vector": "abc"}], TypeError, "", None),
])
def test_put_batch_refusals_store_nothing(db, records, exc, message, notes):
    with pytest.raises(exc) as err:
        db.put_batch(records)
    assert message in str(err.value)
    assert getattr(err.value, "__notes__", None) == notes
    for ns in ("default", "ns"):
        assert db.memory.get(ns, "a") is None
    assert db.memory.get("default", "b") is None


def test_put_batch_reads_records_by_item_lookup_only(db):
    [stored] = db.put_batch([Sneaky(key="k", payload="p")])
    assert (stored.key, stored.payload) == ("k", "p")


def test_put_batch_leaves_other_threads_running(db):
    counter = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counter[0] += 1

    vectors = np.random.default_rng(1).random((20_000, 384), dtype=np.float32)
    records = [{"namespace": "big", "key": f"k{i}", "vector": vectors[i]} for i in range(20_000)]
    t = threading.Thread(target=count)
    t.start()
    samples = []
    done = threading.Event()

    def sample():
        while not done.is_set():
            samples.append(counter[0])
            time.sleep(0.05)

    s = threading.Thread(target=sample)
    s.start()
    stored = db.put_batch(records)
    done.set()
    stop.set()
    s.join()
    t.join()
    assert len(stored) == 20_000 and stored[-1].key == "k19999"
    # The counter kept moving while the batch was stored.
    moving = sum(1 for a, b in zip(samples, samples[1:]) if b > a)
    assert len(samples) >= 3 and moving >= len(samples) - 2
