"""The Vector class: a float32 array NumPy reads through a copy."""
import struct

import numpy as np
import pytest

from dozudaz_id import Vector


def test_empty_and_indexing():
    empty = Vector([])
    assert len(empty) == 0 and list(empty) == [] and repr(empty) == "Vector([])"
    assert empty.__array_interface__["shape"] == (0,) and empty.__array_interface__["data"] == b""
    v = Vector([1, 2, 3])
    assert len(v) == 3
    assert (v[-1], v[-3], v[0]) == (3.0, 1.0, 1.0)
    for bad in (3, -4):
        with pytest.raises(IndexError, match="^vector index out of range$"):
            v[bad]
    for bad in (slice(0, 1), 1.0):
        with pytest.raises(TypeError) as info:
            v[bad]
        assert info.value.__notes__ == ["while processing 'idx'"]


@pytest.mark.parametrize(
    "data, message",
    [("abc", "Can't extract `str` to `Vec`"), (5, "'int' object is not an instance of 'Sequence'"),
     (None, "'None' is not an instance of 'Sequence'"), ([1.0, "x"], None)],
)
def test_constructor_refusals(data, message):
    with pytest.raises(TypeError) as info:
        Vector(data)
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'data'"]


def test_values_are_32_bit():
    assert Vector([0.1])[0] == 0.10000000149011612
    assert Vector([1e40])[0] == float("inf")
    assert np.isnan(Vector([float("nan")])[0])
    v = Vector([0.5, np.float32(2.5), np.int64(3), True])
    assert list(Vector(v)) == [0.5, 2.5, 3.0, 1.0]
    assert list(Vector(range(3))) == [0.0, 1.0, 2.0]


@pytest.mark.parametrize("values,text", [
    ([], "Vector([])"),
    ([1.0, 2.0, 3.0], "Vector([1.0, 2.0, 3.0])"),
    ([0.1], "Vector([0.1])"),
    ([0.0001], "Vector([0.0001])"),
    ([1e-5], "Vector([1e-5])"),
    ([1e16], "Vector([1e16])"),
    ([1.5e16], "Vector([1.5e16])"),
    ([-0.0], "Vector([-0.0])"),
    ([float("nan"), float("inf"), float("-inf")], "Vector([NaN, inf, -inf])"),
    ([1, 2, 3, 4, 5, 6.5], "Vector([1.0, 2.0, 3.0, 4.0, 5.0, 6.5])"),
    ([1, 2, 3, 4, 5, 6, 7.12351], "Vector([1.0000, ..., 7.1235], dim=7)"),
    # Exact ties go to even; 1.00005 as f32 lies just below its tie.
    ([0.03125, 0, 0, 0, 0, 0, 0.09375], "Vector([0.0312, ..., 0.0938], dim=7)"),
    ([1.00005, 0, 0, 0, 0, 0, -1.00005], "Vector([1.0000, ..., -1.0000], dim=7)"),
])
def test_repr_table(values, text):
    assert repr(Vector(values)) == text


def test_repr_short_and_long():
    assert repr(Vector([1, 0.25, 1e-5, 1.5e16, float("-inf")])) == "Vector([1.0, 0.25, 1e-5, 1.5e16, -inf])"
    assert repr(Vector(range(6))) == "Vector([0.0, 1.0, 2.0, 3.0, 4.0, 5.0])"
    assert repr(Vector([1.23456, 0, 0, 0, 0, 0, -2])) == "Vector([1.2346, ..., -2.0000], dim=7)"


def test_iterators_are_independent_and_stay_exhausted():
    v = Vector([1, 2])
    a, b = iter(v), iter(v)
    assert next(a) == 1.0 and next(a) == 2.0 and next(b) == 1.0
    assert iter(a) is a
    for _ in range(3):
        with pytest.raises(StopIteration) as info:
            next(a)
        assert str(info.value) == "end of iteration"


def test_array_interface_is_a_fresh_copy():
    values = [1.5, -2.0, 0.1]
    v = Vector(values)
    iface = v.__array_interface__
    assert list(iface) == ["shape", "typestr", "data", "version"]
    assert iface["shape"] == (3,) and iface["typestr"] == "<f4" and iface["version"] == 3
    assert iface["data"] == struct.pack("<3f", *values)
    assert v.__array_interface__ is not iface and v.__array_interface__["data"] is not iface["data"]

    arr = np.array(v)
    assert arr.dtype == np.float32 and arr.shape == (3,) and arr.flags.owndata
    del v
    assert arr.tolist() == list(np.array(values, dtype=np.float32))
    view = np.asarray(Vector(values))
    assert not view.flags.writeable
    np.testing.assert_array_equal(view, arr)


def test_interpreter_sees_a_sequence():
    # reversed() and the vector readers need the sequence item slot.
    assert list(reversed(Vector([1, 2]))) == [2.0, 1.0]


def test_setstate_replaces_the_values_whole():
    v = Vector([1, 2, 3, 4, 5])
    it = iter(v)
    arr = np.array(v)
    view = np.asarray(v)
    assert v.__setstate__([7, 8]) is None
    assert list(v) == [7.0, 8.0] and len(v) == 2
    assert list(it) == [1.0, 2.0, 3.0, 4.0, 5.0]
    other = Vector([])
    other.__setstate__(v.__getstate__())
    assert list(other) == [7.0, 8.0]
    del v
    assert arr.tolist() == view.tolist() == [1.0, 2.0, 3.0, 4.0, 5.0]
    assert Vector.__setstate__.__text_signature__ == "($self, state)"


def test_failed_setstate_keeps_the_old_values():
    v = Vector([1, 2, 3])

    class Reads:
        def __float__(self):
            return float(len(v))

    class Writes:
        def __float__(self):
            v.__setstate__([9.0])
            return 1.0

    for state, exc, message in [
        ("abc", TypeError, "Can't extract `str` to `Vec`"),
        (5, TypeError, "'int' object is not an instance of 'Sequence'"),
        ([1.0, "x"], TypeError, "must be real number"),
        ([Reads()], RuntimeError, "Already mutably borrowed"),
        ([Writes()], RuntimeError, "Already borrowed"),
    ]:
        with pytest.raises(exc, match=message) as err:
            v.__setstate__(state)
        assert err.value.__notes__ == ["while processing 'state'"]
        assert list(v) == [1.0, 2.0, 3.0]
    with pytest.raises(TypeError):
        Vector()


@pytest.mark.parametrize("values", [[], [0.1, -0.0, 1e-5], [float("nan"), float("inf")], list(range(1000))])
def test_pickle_and_copy_round_trips(values):
    import copy
    import pickle
    v = Vector(values)
    expected = np.asarray(v).tobytes()
    copies = [pickle.loads(pickle.dumps(v, protocol=p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
    copies += [copy.copy(v), copy.deepcopy(v), copy.deepcopy([v, v])[1]]
    for c in copies:
        assert type(c) is Vector and c is not v
        assert np.asarray(c).tobytes() == expected
