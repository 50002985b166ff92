"""Storing records with put and finding them with search, on the directory
fixture; the Record and SearchHit values they return."""
import array
import struct
import sys
import threading
import uuid

import numpy as np
import pytest

import dozudaz_id
from dozudaz_id import Record, SearchHit, Vector, connect

UNSUPPORTED = "Unsupported field value. Use str, int, float, bool, datetime, list, or None."


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    """One client for the tests that only add records in their own namespace."""
    client = connect(str(tmp_path_factory.mktemp("put_search") / "db"))
    yield client
    client.close()


@pytest.fixture
def ns():
    return "t" + uuid.uuid4().hex[:12]


def f32(values):
    return np.asarray(values, dtype=np.float32).tolist()


def test_put_returns_the_stored_record_and_versions(shared, ns):
    first = shared.put(ns, "k", "hello", metadata={"topic": "x"}, vector=[1, 2, 3])
    assert isinstance(first, Record)
    assert (first.namespace, first.key, first.payload, first.version) == (ns, "k", "hello", 1)
    assert first.metadata == {"topic": "x"}
    assert repr(first) == f"Record(namespace={ns}, key=k, dim=3)"
    second = shared.put(ns, "k", "again")
    assert second.version == 2
    assert second.created_at_ms == first.created_at_ms
    assert second.updated_at_ms >= first.updated_at_ms
    assert second.vector is None and second.metadata == {}
    timed = shared.put(ns, "ttl", "p", ttl_ms=60_000)
    assert timed.expires_at_ms == timed.created_at_ms + 60_000
    assert first.expires_at_ms is None


@pytest.mark.parametrize("empty", [[], np.array([], dtype=np.float32), np.zeros(0), [0.0, 0.0, 0.0]])
def test_empty_or_zero_vector_stores_no_vector(shared, ns, empty):
    r = shared.put(ns, "k", "p", vector=empty)
    assert r.vector is None
    assert repr(r).endswith("dim=0)")


def test_core_refusals(db_path):
    db = connect(db_path)
    cases = [
        (("", "k", "p"), "Validation error on namespace: namespace must not be empty"),
        (("n" * 129, "k", "p"), "Validation error on namespace: namespace must be at most 128 bytes"),
        (("ns", "k" * 513, "p"), "Validation error on key: key must be at most 512 bytes"),
        (("ns", "k", "p", {"__zolva_x": 1}),
         "Validation error on metadata: metadata key '__zolva_x' is reserved for ZivirOR internals"),
    ]
    for args, message in cases:
        with pytest.raises(dozudaz_id.ValidationError) as info:
            db.put(*args)
        assert str(info.value) == message
        assert (info.value.code, info.value.retriable) == ("ZIVIROR_VALIDATION_ERROR", False)
    db.put("ns", "kept", "p")
    db.close()
    with connect(db_path, read_only=True) as ro:
        with pytest.raises(dozudaz_id.ValidationError) as info:
            ro.put("ns", "k", "p")
        e = info.value
        assert (e.code, e.retriable, e.hint) == ("ZIVIROR_VALIDATION_ERROR", False, None)
        assert str(e) == (
            "Validation error on read_only: this operation is not available when ZivirOR is opened read-only")


def test_argument_errors_and_the_gate(db_path):
    db = connect(db_path)
    with pytest.raises(UnicodeEncodeError) as info:
        db.put("ns", "\ud800", "p")
    assert info.value.__notes__ == ["while processing 'key'"]
    with pytest.raises(ValueError) as info:
        db.put("ns", "k", "p", sparse_vector={-1: 1.0})
    assert not hasattr(info.value, "__notes__")
    db.close()
    with pytest.raises(TypeError) as info:
        db.put("ns", "k", "p", metadata=["a"])
    assert info.value.__notes__ == ["while processing 'metadata'"]
    with pytest.raises(RuntimeError, match="^database is closing$"):
        db.put("ns", "k", "p", sparse_vector={-1: 1.0})


@pytest.mark.parametrize(
    "value, stored",
    [
        (True, True), (1, 1), (1.0, 1.0), ("1", "1"), (None, None),
        (2**63, float(2**63)), (-(2**63), -(2**63)),
        (np.int64(7), 7), (np.float32(0.1), float(np.float32(0.1))), (np.bool_(True), True),
    ],
)
def test_field_values_read_back(shared, ns, value, stored):
    got = shared.put(ns, "k", "p", metadata={"v": value}).metadata["v"]
    assert got == stored and type(got) is type(stored)


def test_metadata_order_and_refusals(shared, ns):
    assert list(shared.put(ns, "k", "p", metadata={"b": 1, "a": 2, "B": 3}).metadata) == ["B", "a", "b"]
    for bad, exc, message in [
        ({"v": float("nan")}, TypeError, "Float field value cannot be NaN."),
        ({"v": float("-inf")}, TypeError, "Float field value cannot be Infinity."),
        ({"v": (1,)}, TypeError, UNSUPPORTED),
        ({1: "x"}, TypeError, "'int' object is not an instance of 'str'"),
    ]:
        with pytest.raises(exc) as info:
            shared.put(ns, "bad", "p", metadata=bad)
        assert str(info.value) == message
    assert shared.search(ns, [], text_query="p", filters={}) != []
    assert [h.key for h in shared.search(ns, [], text_query="p")] == ["k"]


def test_value_that_changes_the_dict_writes_nothing(db_path):
    db = connect(db_path)
    meta = {}

    class Grower:
        def __float__(self):
            meta["later"] = 1
            return 1.0

    meta["a"] = Grower()
    with pytest.raises(BaseException) as info:
        db.put("ns", "k", "p", metadata=meta)
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    assert str(info.value) == "dictionary changed size during iteration"
    assert db.search("ns", [], text_query="p") == []
    db.close()  # the gate was left: close does not wait


def vector_cases():
    base = np.arange(6, dtype=np.float64) / 7
    return [
        (np.array([0.1, -2.5, 3e-5], dtype=np.float32), f32([0.1, -2.5, 3e-5])),
        (np.arange(6, dtype=np.float32).reshape(2, 3), f32(range(6))),
        (np.array([0.1]), f32([0.1])),
        (base[::2], f32(base[::2])),
        (np.array([1, 2, 3], dtype=np.int64), [1.0, 2.0, 3.0]),
        (np.array([1.5, 2.5], dtype=">f4"), [1.5, 2.5]),
        (np.array([1.5, 0.25], dtype=np.float16), [1.5, 0.25]),
        (np.asfortranarray(np.arange(6, dtype=np.float32).reshape(2, 3)), f32([0, 1, 2, 3, 4, 5])),
        (memoryview(array.array("f", [0.5, 1.25])), [0.5, 1.25]),
        ((1, 2.5), [1.0, 2.5]),
        (Vector([4, 5]), [4.0, 5.0]),
    ]


@pytest.mark.parametrize("given, expected", vector_cases())
def test_vectors_into_put(shared, ns, given, expected):
    got = shared.put(ns, "k", "p", vector=given).vector
    assert got.dtype == np.float32
    assert got.tolist() == expected


def test_vector_bits_and_refusals(shared, ns):
    exact = np.array([0.1, np.nextafter(np.float32(1), np.float32(2)), -0.0], dtype=np.float32)
    got = shared.put(ns, "k", "p", vector=exact).vector
    assert got.tobytes() == exact.tobytes()
    with pytest.raises(TypeError) as info:
        shared.put(ns, "k", "p", vector="abc")
    assert str(info.value) == ("Expected a list of floats or a NumPy array (buffer protocol). Got: "
                               "TypeError: Can't extract `str` to `Vec`")
    with pytest.raises(TypeError) as info:
        shared.put(ns, "k", "p", vector=[1.0, "x"])
    assert str(info.value) == ("Expected a list of floats or a NumPy array (buffer protocol). Got: "
                               "TypeError: must be real number, not str")


def test_sparse_vectors(shared, ns):
    shared.put(ns, "sparse", "p", sparse_vector={7: 0.5, 3: 0.25})
    shared.put(ns, "none", "p", sparse_vector={})
    shared.put(ns, "bool", "p", sparse_vector={True: 1.0})
    hits = shared.search(ns, [], query_sparse={3: 1.0})
    assert [h.key for h in hits] == ["sparse"]
    assert [h.key for h in shared.search(ns, [], query_sparse={1: 1.0})] == ["bool"]


def test_record_properties(shared):
    r = shared.put("ns", "k", "payload", metadata={"m": 1}, vector=[1, 2, 3])
    names = ["namespace", "key", "payload", "metadata", "vector", "created_at_ms", "updated_at_ms",
             "version", "node_id", "expires_at_ms", "superseded_by", "superseded_at_ms",
             "confidence_class", "confidence", "last_validated_at_ms", "derived_from", "valid_at_ms",
             "invalid_at_ms", "quarantined_at_ms", "quarantine_reason", "quarantined_by",
             "quarantine_review_due_ms"]
    for name in names:
        assert hasattr(r, name), name
    # The id of ("ns", "k") is above 2**64: exact, no hashing in Python.
    assert r.node_id == 56149042414448487831425790591554898341
    assert isinstance(r.valid_at_ms, int) and r.confidence_class == "Asserted"
    assert isinstance(r.confidence, float)
    for optional in ("superseded_by", "superseded_at_ms", "invalid_at_ms", "quarantined_at_ms",
                     "quarantine_reason", "quarantined_by", "quarantine_review_due_ms", "expires_at_ms"):
        assert getattr(r, optional) is None, optional
    assert r.derived_from == [] and r.derived_from is not r.derived_from
    assert r.metadata is not r.metadata
    assert r.vector is not r.vector and r.vector.flags.owndata
    for name in ("vector", "metadata", "confidence_class"):
        a, b = r[name], getattr(r, name)
        assert (a == b).all() if name == "vector" else a == b
    for bad in ("Key", "keys", "vectors"):
        with pytest.raises(KeyError) as info:
            r[bad]
        assert info.value.args == (f"Record has no field '{bad}'",)
    with pytest.raises(TypeError) as info:
        r[0]
    assert str(info.value) == "'int' object is not an instance of 'str'"
    assert info.value.__notes__ == ["while processing 'key'"]
    with pytest.raises(AttributeError):
        r.key = "other"


def test_vector_property_without_numpy(shared, monkeypatch):
    r = shared.put("ns", "nonumpy", "p", vector=[1, 2, 3])
    monkeypatch.setitem(sys.modules, "numpy", None)
    v = r.vector
    assert isinstance(v, Vector) and list(v) == [1.0, 2.0, 3.0]

    class Broken:
        def __getattr__(self, name):
            raise RuntimeError("numpy is broken")

    monkeypatch.setitem(sys.modules, "numpy", Broken())
    with pytest.raises(RuntimeError, match="numpy is broken"):
        r.vector


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """A small set of notes searched by every route."""
    client = connect(str(tmp_path_factory.mktemp("corpus") / "db"))
    notes = [
        ("paris", "We met in paris, near the river.", {"topic": "travel"}, [1, 0, 0, 0], {1: 1.0}),
        ("cafe", "The café opens at eight.", {"topic": "food"}, [0, 1, 0, 0], {2: 1.0}),
        ("rome", "Rome was warm in June.", {"topic": "travel"}, [0.9, 0.1, 0, 0], None),
        ("bread", "Bread needs flour and time.", {"topic": "food"}, [0, 0, 1, 0], {3: 1.0}),
    ]
    for key, payload, meta, vec, sparse in notes:
        client.put("notes", key, payload, metadata=meta, vector=vec, sparse_vector=sparse)
    yield client
    client.close()


def test_search_routes(corpus):
    keyword = corpus.search("notes", [], text_query="What did I say about Paris?")
    assert keyword[0].key == "paris"
    assert [h.key for h in corpus.search("notes", [], text_query="Café")] == ["cafe"]
    nearest = corpus.search("notes", [1, 0.05, 0, 0])
    assert [h.key for h in nearest[:2]] == ["paris", "rome"]
    assert nearest[0].score >= nearest[1].score
    hybrid = corpus.search("notes", [0, 0, 1, 0], text_query="paris")
    assert {"paris", "bread"} <= {h.key for h in hybrid}
    assert [h.key for h in corpus.search("notes", [], query_sparse={3: 2.0})] == ["bread"]
    filtered = {"topic": "food"}
    for route in (dict(text_query="the"), dict(query_vector=[1, 0, 0, 0]), dict(query_sparse={1: 1.0, 2: 1.0})):
        args = dict(query_vector=[], filters=filtered)
        args.update(route)
        found = {h.key for h in corpus.search("notes", **args)}
        assert found and found <= {"cafe", "bread"}, route


def test_search_options(corpus):
    for method in ("hnsw", "ivf", "flat", "scann"):
        assert corpus.search("notes", [1, 0, 0, 0], method=method)[0].key == "paris", method
    for method in ("ivf", "scann"):
        with pytest.raises(dozudaz_id.ValidationError):
            corpus.search("notes", [1, 0, 0, 0], method=method, distance_metric="euclidean")
    assert corpus.search("notes", [1, 0, 0, 0], method="flat", distance_metric="euclidean")[0].key == "paris"
    assert len(corpus.search("notes", [1, 0, 0, 0])) == 4
    assert corpus.search("notes", [1, 0, 0, 0], top_k=0) == []
    assert len(corpus.search("notes", [1, 0, 0, 0], top_k=20_000)) == 4
    assert len(corpus.search("notes", [1, 0, 0, 0], top_k=2)) == 2
    plain = corpus.search("notes", [], text_query="paris bread")
    explained = corpus.search("notes", [], text_query="paris bread", explain=True)
    assert [(h.key, h.score) for h in plain] == [(h.key, h.score) for h in explained]
    none_sparse = corpus.search("notes", [], text_query="bread", query_sparse=None)
    empty_sparse = corpus.search("notes", [], text_query="bread", query_sparse={})
    assert [(h.key, h.score) for h in none_sparse] == [(h.key, h.score) for h in empty_sparse]


def test_search_hit(corpus):
    hit = corpus.search("notes", [1, 0, 0, 0], top_k=1)[0]
    assert isinstance(hit, SearchHit)
    assert hit.id == hit.node_id
    assert repr(hit) == f"SearchHit(namespace=notes, key=paris, score={hit.score:.4f}, dim=4)"
    iface = hit.__array_interface__
    assert list(iface) == ["shape", "typestr", "data", "version"]
    assert iface["shape"] == (4,) and iface["data"] == struct.pack("<4f", 1, 0, 0, 0)
    np.testing.assert_array_equal(np.array(hit), hit.vector)
    assert hit.metadata == {"topic": "travel"} and hit.confidence_class == "Asserted"
    with pytest.raises(TypeError):
        hit["key"]


def test_hit_without_vector_and_after_close(db_path):
    db = connect(db_path)
    db.put("ns", "k", "plain words")
    hit = db.search("ns", [], text_query="plain")[0]
    r = db.put("ns", "k2", "more words")
    db.close()
    assert hit.vector is None and repr(hit).endswith("dim=0)")
    with pytest.raises(RuntimeError) as info:
        hit.__array_interface__
    assert type(info.value) is RuntimeError and str(info.value) == "SearchHit has no vector"
    assert (hit.key, r.key, r.payload) == ("k", "k2", "more words")
    assert hit.id == hit.node_id == 56149042414448487831425790591554898341


def test_reopen_keeps_every_acknowledged_record(db_path):
    with connect(db_path) as db:
        for i in range(20):
            db.put("ns", f"k{i}", f"note number {i}", vector=[float(i), 1.0])
    with connect(db_path) as db:
        keys = {h.key for h in db.search("ns", [], text_query="note", top_k=100)}
    assert keys == {f"k{i}" for i in range(20)}


def test_writers_and_searchers_at_once(db_path):
    db = connect(db_path)
    errors = []

    def writer(t):
        try:
            for i in range(25):
                db.put("ns", f"w{t}-{i}", f"shared words {t} {i}", vector=[float(t), float(i) + 1])
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=writer, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    keys = {h.key for h in db.search("ns", [], text_query="shared", top_k=1000)}
    assert errors == [] and len(keys) == 100

    stop = threading.Event()

    def searcher():
        try:
            while not stop.is_set():
                db.search("ns", [1.0, 1.0], text_query="shared words")
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    searchers = [threading.Thread(target=searcher) for _ in range(4)]
    for t in searchers:
        t.start()
    writer(9)
    stop.set()
    for t in searchers:
        t.join(60)
    assert errors == []
    db.close()
