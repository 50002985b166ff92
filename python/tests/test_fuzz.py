"""Property tests of the argument conversions: every input ends in a result
that matches a small model of the conversion or in one of the documented
exceptions, never in another exception type. The "ci" profile (default) is
derandomized with a few hundred examples per property; HYPOTHESIS_PROFILE=deep
runs many more."""
import datetime
import math
import os
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import dozudaz_id
from dozudaz_id import Vector, connect

settings.register_profile("ci", max_examples=200, derandomize=True, deadline=None, database=None,
                          suppress_health_check=[HealthCheck.function_scoped_fixture])
settings.register_profile("deep", max_examples=5000, deadline=None, database=None,
                          suppress_health_check=[HealthCheck.function_scoped_fixture])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

I64 = (-(2**63), 2**63 - 1)
DOCUMENTED = (TypeError, ValueError, OverflowError, dozudaz_id.Error)


def f32(x):
    """The nearest 32-bit float, as the C conversion rounds (beyond range: inf)."""
    with np.errstate(over="ignore"):
        return float(np.float32(x))


def as_double(x):
    """The interpreter's float protocol: no parsing of strings."""
    if isinstance(x, (str, bytes)) or x is None:
        raise TypeError(type(x).__name__)
    return float(x)


def same_float(a, b):
    return struct.pack("<f", a) == struct.pack("<f", b)


@pytest.fixture(scope="module")
def mem():
    client = connect("", backend="memory")
    yield client
    client.close()


numpy_scalars = st.one_of(
    st.floats(allow_nan=True).map(np.float64), st.floats(width=32).map(np.float32),
    st.floats(width=16).map(np.float16), st.integers(-(2**31), 2**31 - 1).map(np.int32),
    st.integers(0, 2**64 - 1).map(np.uint64), st.booleans().map(np.bool_))
vector_items = st.one_of(
    st.integers(), st.floats(), st.floats(width=32, allow_subnormal=True), st.sampled_from([-0.0, 1e39, -1e39, 5e-324]),
    st.booleans(), numpy_scalars, st.text(max_size=3), st.none())


@given(st.lists(vector_items, max_size=12))
def test_vector_from_a_list_rounds_each_item_or_raises_the_noted_type_error(data):
    try:
        expected = [f32(as_double(x)) for x in data]
        model_error = None
    except Exception as e:  # noqa: BLE001 - the model's own refusal
        model_error = type(e)
    try:
        v = Vector(data)
    except (TypeError, OverflowError) as e:
        assert model_error is not None and isinstance(e, model_error)
        assert e.__notes__ == ["while processing 'data'"]
        return
    assert model_error is None
    assert len(v) == len(expected) and all(same_float(a, b) for a, b in zip(v, expected))


@given(hnp.arrays(dtype=st.one_of(hnp.floating_dtypes(endianness="="), hnp.floating_dtypes(endianness="<"),
                                  hnp.floating_dtypes(endianness=">"), hnp.integer_dtypes(endianness="="),
                                  hnp.integer_dtypes(endianness=">")),
                  shape=hnp.array_shapes(min_dims=1, max_dims=3, max_side=4)),
       st.integers(1, 2), st.booleans())
def test_numpy_arrays_as_vectors_give_f32_values_in_c_order(arr, step, transpose):
    view = arr[::step]
    if transpose:
        view = view.T
    try:
        v = Vector(view)
    except TypeError as e:
        assert e.__notes__ == ["while processing 'data'"]
        assert view.ndim > 1  # a 1-D array of numbers always converts
        return
    with np.errstate(over="ignore", invalid="ignore"):
        expected = view.astype(np.float64).astype(np.float32)
    assert view.ndim == 1
    assert [struct.pack("<f", x) for x in v] == [struct.pack("<f", x) for x in expected]


@given(memory_limit=st.one_of(st.none(), st.integers(), st.floats(), st.text(max_size=3), st.booleans()),
       read_only=st.one_of(st.booleans(), st.none(), st.integers(0, 1), st.text(max_size=2)),
       backend=st.one_of(st.none(), st.sampled_from(["memory", "disk", "Memory", ""]), st.text(max_size=4),
                         st.integers()))
def test_connect_gives_a_client_or_a_documented_error(tmp_path_factory, memory_limit, read_only, backend):
    path = str(tmp_path_factory.mktemp("connect") / "db")
    try:
        client = connect(path, memory_limit=memory_limit, read_only=read_only, backend=backend)
    except DOCUMENTED:
        return
    client.close()


class WithFloat:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class WithIndex:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


scalars = st.one_of(
    st.text(), st.integers(-(2**70), 2**70), st.floats(), st.booleans(), st.none(),
    st.datetimes(), st.datetimes(timezones=st.timezones()), numpy_scalars,
    st.floats().map(WithFloat), st.integers(-(2**65), 2**65).map(WithIndex))
values = st.recursive(scalars, lambda inner: st.one_of(st.lists(inner, max_size=4),
                                                       st.tuples(inner, inner),
                                                       st.dictionaries(st.text(max_size=3), inner, max_size=3)),
                      max_leaves=8)


def model(value):
    """What a plain scalar reads back as, or None when the model does not
    cover the value (lists, datetimes, objects)."""
    if value is None or isinstance(value, bool) or type(value) is str:
        return ("ok", value)
    if type(value) is int:
        if I64[0] <= value <= I64[1]:
            return ("ok", value)
        return ("ok", float(value))
    if type(value) is float:
        if math.isnan(value) or math.isinf(value):
            return ("err", TypeError)
        return ("ok", value)
    if isinstance(value, (tuple, dict, set)):
        return ("err", TypeError)
    return None


def outcome(client, ns, key, metadata):
    try:
        client.put(ns, key, "p", metadata=metadata)
    except DOCUMENTED as e:
        return ("err", type(e))
    return ("ok", client.memory.get(ns, key).metadata)


@given(st.dictionaries(st.text(max_size=6), values, max_size=4))
def test_metadata_through_put_matches_the_model_on_first_and_cached_conversion(mem, metadata):
    first = outcome(mem, "fz", "a", metadata)
    second = outcome(mem, "fz", "b", metadata)
    assert first == second or (first[0] == second[0] == "ok" and repr(first) == repr(second))
    if first[0] == "err":
        return
    stored = first[1]
    for name, value in metadata.items():
        if name.startswith("__zolva_") or "\0" in name:
            pytest.fail("a reserved or NUL name was stored")
        m = model(value)
        if m is None:
            continue
        assert m[0] == "ok", (name, value)
        got = stored[name]
        if isinstance(m[1], float):
            assert got == m[1] or (math.isnan(got) and math.isnan(m[1]))
        else:
            assert got == m[1] and type(got) is type(m[1])


operands = st.one_of(scalars, st.lists(st.integers(-5, 5), max_size=2))
op_keys = st.one_of(st.sampled_from(["$eq", "$neq", "$gt", "$gte", "$lt", "$lte", "$in", "$EQ", "eq"]),
                    st.text(max_size=3), st.integers())
filters = st.dictionaries(st.one_of(st.text(max_size=4), st.integers()),
                          st.one_of(operands, st.dictionaries(op_keys, operands, max_size=3)), max_size=3)


@given(filters)
def test_count_filters_give_a_count_or_a_documented_error(mem, f):
    try:
        n = mem.count("fz", f)
    except DOCUMENTED:
        return
    assert isinstance(n, int) and n >= 0


@given(window=st.one_of(st.none(), st.dictionaries(st.sampled_from(["from_ms", "to_ms", "x"]),
                                                   st.one_of(st.integers(-5, 2**65), st.none(), st.floats(),
                                                             st.booleans(), st.text(max_size=2)), max_size=3)),
       metric=st.one_of(st.none(), st.sampled_from(["cosine", "euclidean", "Cosine"]), st.text(max_size=4)),
       method=st.one_of(st.none(), st.sampled_from(["hnsw", "ivf", "flat", "scann"]), st.text(max_size=4)),
       top_k=st.one_of(st.integers(-3, 2**65), st.none()))
def test_search_arguments_give_hits_or_a_documented_error(mem, window, metric, method, top_k):
    kwargs = dict(valid_window=window, distance_metric=metric, method=method)
    if top_k is not None:
        kwargs["top_k"] = top_k
    try:
        hits = mem.search("fz", [1.0, 0.5], **kwargs)
    except DOCUMENTED:
        return
    assert isinstance(hits, list)
    page_args = dict(valid_window=window)
    try:
        assert isinstance(mem.memory.list("fz", **page_args), dozudaz_id.ListResult)
    except DOCUMENTED:
        pass
