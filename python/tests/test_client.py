"""Opening and closing a database, the operation gate and the class surface."""
import os
import pathlib
import threading
import time
import weakref

import numpy as np
import pytest

import dozudaz_id
from dozudaz_id import Client, connect

WRITABLE_REPR = "Client(profile=PERFORMANCE, read_only=false, vector_search=true, persistence=true)"
READ_ONLY_REPR = WRITABLE_REPR.replace("read_only=false", "read_only=true")


def notes_of(exc_info):
    return getattr(exc_info.value, "__notes__", [])


@pytest.mark.parametrize(
    "opener",
    [
        lambda p: connect("", backend="memory"),
        lambda p: Client("", backend="memory"),
        lambda p: connect(p),
        lambda p: Client(p),
        lambda p: connect(path=p, memory_limit=1 << 30, read_only=False, backend=None),
    ],
)
def test_open_gives_a_working_client(db_path, opener):
    db = opener(db_path)
    assert isinstance(db, Client)
    assert repr(db) == WRITABLE_REPR
    assert db.search("ns", [], text_query="anything") == []
    assert db.close() is None


def test_environment_does_not_override_the_arguments(db_path, monkeypatch):
    monkeypatch.setenv("ZIVIROR_MEMORY_LIMIT", "1")
    monkeypatch.setenv("ZIVIROR_BACKEND", "memory")
    monkeypatch.setenv("ZIVIROR_STORAGE_PATH", db_path + "-elsewhere")
    with connect(db_path) as db:
        db.search("ns", [], text_query="x")
    # The default backend, on the given path: a directory on disk.
    assert os.path.isdir(db_path)
    assert not os.path.exists(db_path + "-elsewhere")


def test_reopen_and_read_only(db_path):
    connect(db_path).close()
    with connect(db_path, read_only=True) as db:
        assert repr(db) == READ_ONLY_REPR
    with connect(db_path, read_only=np.bool_(True)) as db:
        assert repr(db) == READ_ONLY_REPR


@pytest.mark.parametrize(
    "call, exc, message, note",
    [
        (lambda: connect("x", backend="Memory"), ValueError,
         'Unknown backend "Memory" — known values: rocksdb, memory (or None for the default, morva)', None),
        (lambda: connect("x", backend="in-memory"), ValueError,
         'Unknown backend "in-memory" — known values: rocksdb, memory (or None for the default, morva)', None),
        (lambda: Client("x", backend=""), ValueError,
         'Unknown backend "" — known values: rocksdb, memory (or None for the default, morva)', None),
        (lambda: connect(pathlib.Path("x")), TypeError,
         "'PosixPath' object is not an instance of 'str'", "while processing 'path'"),
        (lambda: Client(pathlib.Path("x")), TypeError,
         "'PosixPath' object is not an instance of 'str'", "while processing 'db_path'"),
        (lambda: connect("x", read_only=None), TypeError,
         "'None' is not an instance of 'bool'", "while processing 'read_only'"),
        (lambda: connect("x", read_only=1), TypeError,
         "'int' object is not an instance of 'bool'", "while processing 'read_only'"),
        (lambda: connect("x", memory_limit=-1), OverflowError, None, "while processing 'memory_limit'"),
        (lambda: connect("x", memory_limit=2**64), OverflowError, None, "while processing 'memory_limit'"),
        (lambda: Client("x", memory_limit_bytes=-1), OverflowError, None,
         "while processing 'memory_limit_bytes'"),
        (lambda: connect(), TypeError, None, None),
        (lambda: connect("x", nope=1), TypeError, None, None),
        (lambda: connect("x", None, False, None, 5), TypeError, None, None),
    ],
)
def test_argument_errors(call, exc, message, note):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    if note is not None:
        assert notes_of(info) == [note]


def test_bad_backend_reads_no_environment(db_path, monkeypatch):
    # The name is refused before any variable is read or any file touched.
    monkeypatch.setenv("ZIVIROR_STORAGE_PATH", db_path)
    with pytest.raises(ValueError):
        connect(db_path, backend="Memory")
    assert not os.path.exists(db_path)


@pytest.mark.parametrize("backend", [None, "memory"])
def test_open_refusals_carry_code_retriable_hint(tmp_path, backend):
    with pytest.raises(dozudaz_id.ValidationError) as info:
        connect(str(tmp_path / "a" / ".." / "b"), backend=backend)
    assert "contains '..' traversal — rejected for security" in str(info.value)
    assert str(info.value).startswith("Validation error on path: Path '")
    assert info.value.code == "ZIVIROR_VALIDATION_ERROR"
    assert info.value.retriable is False


def test_directory_open_failures(db_path, tmp_path):
    with pytest.raises(dozudaz_id.ValidationError) as info:
        connect(db_path, backend="rocksdb")
    assert str(info.value) == (
        "Validation error on backend_feature: RocksDB backend requires the 'rocksdb' feature")

    a_file = tmp_path / "plain_file"
    a_file.write_text("not a database")
    with pytest.raises(dozudaz_id.StorageError) as info:
        connect(str(a_file))
    assert (info.value.code, info.value.retriable) == ("ZIVIROR_IO_ERROR", False)
    assert hasattr(info.value, "hint")

    missing = str(tmp_path / "missing")
    with pytest.raises(dozudaz_id.NotFoundError) as info:
        connect(missing, read_only=True)
    assert str(info.value) == f"database_path not found: {missing}"
    assert not os.path.exists(missing)

    first = connect(db_path)
    with pytest.raises(dozudaz_id.StorageError):
        connect(db_path)
    first.close()
    connect(db_path).close()


def test_close_and_context_manager(db_path):
    db = connect(db_path)
    assert db.close() is None
    assert db.close() is None
    assert repr(db) == WRITABLE_REPR
    with db as entered:
        assert entered is db
    with pytest.raises(RuntimeError) as info:
        db.search("ns", [])
    assert type(info.value) is RuntimeError
    assert str(info.value) == "database is closing"
    # Extraction precedes the gate.
    with pytest.raises(TypeError) as info:
        db.search(5, [])
    assert notes_of(info) == ["while processing 'namespace'"]
    with pytest.raises(TypeError):
        db.__exit__(None, None)

    class Boom(Exception):
        pass

    with pytest.raises(Boom):
        with connect(db_path) as inner:
            raise Boom()
    with pytest.raises(RuntimeError, match="database is closing"):
        inner.search("ns", [])
    assert inner.__exit__(None, None, None) is None


class Waiter:
    """A metadata value whose float conversion runs Python code while the call
    that converts it is inside the gate."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 1.0


# Calls that convert a metadata value inside the gate.
GATED_CALLS = [
    pytest.param(lambda db, w: db.put("ns", "k", "p", metadata={"w": w}), id="put"),
    pytest.param(lambda db, w: db.search("ns", [], text_query="x", filters={"w": w}), id="search"),
    pytest.param(lambda db, w: db.search_multi(["ns", "b"], [], text_query="x", filters={"w": w}),
                 id="search_multi"),
    pytest.param(lambda db, w: db.memory.list("ns", filters={"w": w}), id="list"),
    pytest.param(lambda db, w: db.count("ns", {"w": {"$gte": w}}), id="count"),
    pytest.param(lambda db, w: db.delete_by_filter("ns", {"w": w}), id="delete_by_filter"),
]


@pytest.mark.parametrize("call", GATED_CALLS)
def test_close_waits_for_a_call_of_another_thread(db, call):
    entered = threading.Event()
    release = threading.Event()
    results = []

    def blocker():
        entered.set()
        release.wait(10)

    def caller():
        results.append(call(db, Waiter(blocker)))

    t = threading.Thread(target=caller)
    t.start()
    assert entered.wait(10)
    closer = threading.Thread(target=db.close)
    closer.start()
    time.sleep(0.2)
    assert closer.is_alive(), "close returned while a call was inside the gate"
    release.set()
    t.join(10)
    closer.join(10)
    assert not t.is_alive() and not closer.is_alive()
    assert len(results) == 1
    assert db.__enter__() is db


@pytest.mark.parametrize("call", GATED_CALLS)
def test_close_from_inside_a_call_on_the_same_thread(db, call):
    with pytest.raises(dozudaz_id.BusyError) as info:
        call(db, Waiter(db.close))
    assert str(info.value) == "Engine not initialized"
    assert (info.value.code, info.value.retriable) == ("ZIVIROR_BUSY", False)
    with pytest.raises(RuntimeError, match="database is closing"):
        db.search("ns", [])


def test_conversion_error_inside_the_gate_leaves_it(db):
    with pytest.raises(ValueError):
        db.search("ns", [], distance_metric="Cosine")
    closer = threading.Thread(target=db.close)
    closer.start()
    closer.join(10)
    assert not closer.is_alive()


def test_callers_that_never_pause_while_closing(db):
    stop = threading.Event()
    failures = []

    def worker(i):
        n = 0
        memory = db.memory
        while not stop.is_set():
            try:
                assert db.capabilities()["persistence"] is True
                db.search("ns", [float(i), 1.0], text_query="note")
                repr(db)
                db.put("ns", f"k{i}-{n}", "note", vector=[float(i), 1.0])
                assert memory.get("ns", f"k{i}-{n}").payload == "note"
                db.put_batch([{"namespace": "ns", "key": f"b{i}-{n}", "vector": [1.0, float(i)]}])
                if n % 8 == 0:
                    db.flush()
            except RuntimeError as e:
                if str(e) != "database is closing":
                    failures.append(e)
            except BaseException as e:  # noqa: BLE001 - every other outcome is a fault
                failures.append(e)
            n += 1

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    time.sleep(0.3)
    db.close()
    stop.set()
    for t in threads:
        t.join(20)
    assert not any(t.is_alive() for t in threads)
    assert failures == []


def test_class_surface():
    assert Client.__module__ == "builtins"
    assert Client.__qualname__ == "Client"
    assert Client.__text_signature__ == "(db_path, memory_limit_bytes=None, read_only=False, backend=None)"
    import inspect
    assert str(inspect.signature(connect)) == "(path, memory_limit=None, read_only=False, backend=None)"
    for cls in (Client, dozudaz_id.Vector):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    for cls in (dozudaz_id.Record, dozudaz_id.SearchHit, dozudaz_id.VectorIter):
        with pytest.raises(TypeError):
            cls()
    db = connect("", backend="memory")
    v = dozudaz_id.Vector([1.0])
    for obj in (db, v):
        with pytest.raises(TypeError):
            weakref.ref(obj)
        with pytest.raises(AttributeError):
            obj.extra = 1
    db.close()


def test_dropping_an_unclosed_client_releases_the_directory(db_path):
    db = connect(db_path)
    del db
    connect(db_path).close()
