"""Search arguments: what is refused before the gate, what after it, and what
the core refuses, for search and for search_multi, which shares every
argument but the namespace and the method. Uses the directory fixture; no
record is needed."""
import datetime

import pytest

import dozudaz_id

BEFORE_GATE = [
    (dict(top_k=None), TypeError, "top_k"),
    (dict(top_k=-1), OverflowError, "top_k"),
    (dict(top_k=2**64), OverflowError, "top_k"),
    (dict(explain=None), TypeError, "explain"),
    (dict(exclude_superseded=1), TypeError, "exclude_superseded"),
    (dict(min_confidence="Derived"), TypeError, "min_confidence"),
    (dict(filters=[("a", 1)]), TypeError, "filters"),
    (dict(query_sparse=[1.0]), TypeError, "query_sparse"),
    (dict(valid_window=(1, 2)), TypeError, "valid_window"),
    (dict(text_query=b"x"), TypeError, "text_query"),
    (dict(method=1), TypeError, "method"),
]

AFTER_GATE = [
    (dict(distance_metric="Cosine"), ValueError,
     'Unknown distance_metric "Cosine" — known values: cosine, euclidean'),
    (dict(method="HNSW"), ValueError, 'Unknown search method "HNSW" — known values: ivf, scann, hnsw, flat'),
    (dict(method="diskann"), ValueError,
     'Unknown search method "diskann" — known values: ivf, scann, hnsw, flat'),
    (dict(method=""), ValueError, 'Unknown search method "" — known values: ivf, scann, hnsw, flat'),
    (dict(query_vector=None), TypeError,
     "Expected a list of floats or a NumPy array (buffer protocol). Got: TypeError: "
     "'None' is not an instance of 'Sequence'"),
    (dict(query_vector="abc"), TypeError,
     "Expected a list of floats or a NumPy array (buffer protocol). Got: TypeError: "
     "Can't extract `str` to `Vec`"),
    (dict(filters={"tag": {"$eq": "x"}}), TypeError,
     "Unsupported field value. Use str, int, float, bool, datetime, list, or None."),
    (dict(filters={1: "x"}), TypeError, "'int' object is not an instance of 'str'"),
    (dict(valid_window={"from_ms": 1}), ValueError, "valid_window requires 'to_ms'"),
    (dict(valid_window={"to_ms": 1}), ValueError, "valid_window requires 'from_ms'"),
    (dict(valid_window={"from_ms": None, "to_ms": 1}), ValueError,
     "valid_window.from_ms must be a non-negative integer"),
    (dict(valid_window={"from_ms": 1, "to_ms": -1}), ValueError,
     "valid_window.to_ms must be a non-negative integer"),
    (dict(query_sparse={-1: 1.0}), ValueError, "sparse_vector keys must be u32 dimension ids, got -1"),
]

# Field values refused by the metadata conversion (filters and metadata alike).
VALUE_REFUSALS = [
    (float("nan"), "Float field value cannot be NaN."),
    (float("inf"), "Float field value cannot be Infinity."),
    (float("-inf"), "Float field value cannot be Infinity."),
    ((1, 2), "Unsupported field value. Use str, int, float, bool, datetime, list, or None."),
    ({1}, "Unsupported field value. Use str, int, float, bool, datetime, list, or None."),
    (datetime.datetime(2024, 1, 1), "Unsupported field value. Use str, int, float, bool, datetime, list, or None."),
]

SPARSE_REFUSALS = [
    ({-1: 1.0}, "sparse_vector keys must be u32 dimension ids, got -1"),
    ({2**32: 1.0}, "sparse_vector keys must be u32 dimension ids, got 4294967296"),
    ({1.5: 1.0}, "sparse_vector keys must be u32 dimension ids, got 1.5"),
    ({"a": 1.0}, "sparse_vector keys must be u32 dimension ids, got a"),
    ({3: "x"}, "sparse_vector[3] must be a float, got x"),
    ({3: float("nan")}, "sparse_vector[3] must be finite, got NaN"),
    ({3: float("inf")}, "sparse_vector[3] must be finite, got inf"),
    ({3: float("-inf")}, "sparse_vector[3] must be finite, got -inf"),
    ({3: 1e39}, "sparse_vector[3] is out of range for f32 (got 1000000000000000000000000000000000000000)"),
]


@pytest.fixture(scope="module")
def db(tmp_path_factory):
    """One open client for the module: none of these searches writes."""
    client = dozudaz_id.connect(str(tmp_path_factory.mktemp("search_args") / "db"))
    yield client
    client.close()


@pytest.fixture(scope="module")
def closed_db(tmp_path_factory):
    client = dozudaz_id.connect(str(tmp_path_factory.mktemp("search_args_closed") / "db"))
    client.close()
    return client


@pytest.fixture(params=["search", "search_multi"])
def entry(request):
    return request.param


def search(db, entry="search", **kwargs):
    if entry == "search_multi":
        if "method" in kwargs:
            pytest.skip("search_multi takes no method")
        args = dict(namespaces=["ns"], query_vector=[])
    else:
        args = dict(namespace="ns", query_vector=[])
    args.update(kwargs)
    return getattr(db, entry)(**args)


@pytest.mark.parametrize("closed", [False, True])
@pytest.mark.parametrize("kwargs, exc, param", BEFORE_GATE)
def test_refused_before_the_gate(db, closed_db, closed, entry, kwargs, exc, param):
    with pytest.raises(exc) as info:
        search(closed_db if closed else db, entry, **kwargs)
    assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize("kwargs, exc, message", AFTER_GATE)
def test_refused_after_the_gate(db, closed_db, entry, kwargs, exc, message):
    with pytest.raises(exc) as info:
        search(db, entry, **kwargs)
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")
    with pytest.raises(RuntimeError) as info:
        search(closed_db, entry, **kwargs)
    assert type(info.value) is RuntimeError and str(info.value) == "database is closing"


@pytest.mark.parametrize("value, message", VALUE_REFUSALS)
def test_filter_values_refused(db, entry, value, message):
    with pytest.raises(TypeError) as info:
        search(db, entry, filters={"tag": value})
    assert str(info.value) == message


@pytest.mark.parametrize("sparse, message", SPARSE_REFUSALS)
def test_sparse_query_refused(db, sparse, message):
    with pytest.raises(ValueError) as info:
        search(db, query_sparse=sparse)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(query_vector=[0.0, 0.0]),
         "Invalid input: zero-norm cosine query vector is undefined; use a non-zero vector or the "
         "euclidean distance metric (AUDREP-55, ERR-028)"),
        (dict(min_confidence=2.0),
         "Invalid input: SEARCH_OPTIONS_INVALID: min_confidence must be finite and within [0, 1]"),
        (dict(valid_window={"from_ms": 5, "to_ms": 5}),
         "Invalid input: SEARCH_OPTIONS_INVALID: valid_window.from_ms (5) must be < valid_window.to_ms (5)"),
    ],
)
def test_core_refusals(db, entry, kwargs, message):
    with pytest.raises(dozudaz_id.ValidationError) as info:
        search(db, entry, **kwargs)
    assert str(info.value) == message
    assert (info.value.code, info.value.retriable) == ("ZIVIROR_VALIDATION_ERROR", False)


def test_accepted_shapes(db):
    assert search(db, min_confidence=1, top_k=0) == []
    assert search(db, min_confidence=0.5, valid_window={"from_ms": True, "to_ms": 10}) == []
    assert search(db, query_sparse={}, filters={}, text_query=None, method=None, distance_metric=None) == []
    with pytest.raises(TypeError):
        db.search("ns")
