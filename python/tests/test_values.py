"""Metadata values stored and read back: lists, datetimes, and small dicts
whose values only print alike, on the memory backend."""
import math
from datetime import datetime, timedelta, timezone, tzinfo
from zoneinfo import ZoneInfo

import numpy as np
import pytest

from dozudaz_id import connect

UTC = timezone.utc
UNSUPPORTED = "Unsupported field value. Use str, int, float, bool, datetime, list, or None."
UNSUPPORTED_ELEMENT = ("Unsupported list element type 'dict' (inferred from first element). "
                       "All list elements must be the same type: bool, int, float, str, or datetime.")


@pytest.fixture(scope="module")
def mem():
    client = connect("", backend="memory")
    yield client
    client.close()


def stored(client, value):
    """The value as put returns it and as get reads it back."""
    put = client.put("ns", "v", "p", metadata={"v": value}).metadata["v"]
    got = client.memory.get("ns", "v").metadata["v"]
    assert got == put and type(got) is type(put)
    return put


@pytest.mark.parametrize("value,expected", [
    ([True, False], [1, 0]),
    ([1.5, 2], [1.5, 2.0]),
    ([2**70, 1], [float(2**70), 1.0]),
    ([], []),
    (["a", "b"], ["a", "b"]),
    ([np.bool_(True), np.bool_(False)], [True, False]),
    ([np.int64(3), 4], [3, 4]),
    ([datetime(2024, 5, 1, 12, tzinfo=timezone(timedelta(hours=2))), datetime(2024, 5, 1, tzinfo=UTC)],
     [datetime(2024, 5, 1, 10, tzinfo=UTC), datetime(2024, 5, 1, tzinfo=UTC)]),
    (datetime(2024, 5, 1, 12, 30, tzinfo=UTC), datetime(2024, 5, 1, 12, 30, tzinfo=UTC)),
    (datetime(2024, 5, 1, 12, tzinfo=timezone(timedelta(hours=2))), datetime(2024, 5, 1, 10, tzinfo=UTC)),
    (datetime(2024, 5, 1, 12, tzinfo=timezone(timedelta(hours=-5, minutes=-30))),
     datetime(2024, 5, 1, 17, 30, tzinfo=UTC)),
    (datetime(2024, 5, 1, tzinfo=ZoneInfo("UTC")), datetime(2024, 5, 1, tzinfo=UTC)),
    (datetime(2024, 5, 1, 0, 0, 0, 123456, tzinfo=UTC), datetime(2024, 5, 1, 0, 0, 0, 123456, tzinfo=UTC)),
    (datetime(1969, 12, 31, 23, 59, 59, 999999, tzinfo=UTC), datetime(1969, 12, 31, 23, 59, 59, 999999, tzinfo=UTC)),
    (datetime(1900, 3, 1, 6, tzinfo=timezone(timedelta(hours=7))), datetime(1900, 2, 28, 23, tzinfo=UTC)),
    (datetime(1, 1, 1, tzinfo=UTC), datetime(1, 1, 1, tzinfo=UTC)),
    (datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC), datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC)),
])
def test_lists_and_datetimes_read_back(mem, value, expected):
    got = stored(mem, value)
    assert got == expected
    assert [type(x) for x in (got if isinstance(got, list) else [got])] == \
        [type(x) for x in (expected if isinstance(expected, list) else [expected])]
    for dt in (got if isinstance(got, list) else [got]):
        if isinstance(dt, datetime):
            assert dt.tzinfo is UTC


@pytest.mark.parametrize("value,exc,message", [
    ([2, 1.5], TypeError, "'float' object cannot be interpreted as an integer"),
    ([None, 1], TypeError, "List elements cannot be None."),
    ([1, None], TypeError, "'NoneType' object cannot be interpreted as an integer"),
    ([1, 2**64], OverflowError, ""),
    ([{}], TypeError, UNSUPPORTED_ELEMENT),
    ([datetime(2024, 1, 1, tzinfo=UTC), "x"], TypeError, "List elements must be consistent datetime objects."),
    ([datetime(2024, 1, 1, tzinfo=UTC), datetime(2024, 1, 1)], TypeError,
     "List elements must be consistent datetime objects."),
    ([1.0, math.nan], TypeError, "ListFloat elements cannot be NaN."),
    ([1.0, -math.inf], TypeError, "ListFloat elements cannot be Infinity."),
    (["a", 1], TypeError, "'int' object is not an instance of 'str'"),
    ([np.bool_(True), 1], TypeError, "'int' object is not an instance of 'bool'"),
    (datetime(2024, 1, 1, tzinfo=ZoneInfo("Europe/Berlin")), TypeError, UNSUPPORTED),
    (datetime(2024, 1, 1), TypeError, UNSUPPORTED),
    ((1, 2), TypeError, UNSUPPORTED),
    ([(1,)], TypeError, "Unsupported list element type 'tuple'"),
])
def test_refused_values_store_nothing(mem, value, exc, message):
    mem.put("ns", "refused", "before")
    with pytest.raises(exc) as err:
        mem.put("ns", "refused", "after", metadata={"v": value})
    assert message in str(err.value)
    assert mem.memory.get("ns", "refused").payload == "before"


def test_a_list_that_shrinks_while_read_ends_early(mem):
    values = [1.0, 2.0, 3.0, 4.0]

    class Shrinker:
        def __float__(self):
            del values[2:]
            return 0.5

    values[1] = Shrinker()
    assert stored(mem, values) == [1.0, 0.5]


class Printed:
    """Values that print alike but convert differently."""

    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return "same"

    def __float__(self):
        return self.value


class HiddenOffset(tzinfo):
    """A fixed-offset zone whose repr does not show the offset."""

    def __init__(self, hours):
        self.hours = hours

    def utcoffset(self, dt):
        return timedelta(hours=self.hours)

    def __repr__(self):
        return "zone"


@pytest.mark.parametrize("first,second", [
    (Printed(1.5), Printed(2.5)),
    (np.float32(0.1), 0.1),
    (0.1, np.float32(0.1)),
    (datetime(2024, 1, 1, tzinfo=HiddenOffset(1)), datetime(2024, 1, 1, tzinfo=HiddenOffset(2))),
])
def test_dicts_whose_values_print_alike_store_their_own(mem, first, second):
    a = mem.put("ns", "a", "p", metadata={"x": first, "n": 1}).metadata["x"]
    b = mem.put("ns", "b", "p", metadata={"x": second, "n": 1}).metadata["x"]
    assert a != b
    assert mem.memory.get("ns", "b").metadata["x"] == b


def test_repeated_small_dicts_read_back_alike(mem):
    meta = {"when": datetime(2024, 1, 1, tzinfo=UTC), "tags": ["a", "b"], "n": 1, "f": 0.5}
    for key in ("k1", "k2", "k3"):
        assert mem.put("ns", key, "p", metadata=dict(meta)).metadata == meta
    bigger = dict(meta, extra=None)
    assert mem.put("ns", "k4", "p", metadata=bigger).metadata == bigger
