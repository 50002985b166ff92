"""The import surface of dozudaz_id as a user sees it."""
import builtins
import os
import subprocess
import sys

import pytest

import dozudaz_id

EXCEPTIONS = [
    "Error",
    "NotFoundError",
    "ValidationError",
    "CorruptError",
    "StorageError",
    "ConflictError",
    "UnsupportedError",
    "ResourceLimitError",
    "BusyError",
    "NoVectorError",
    "TimeoutError",
]

# The exports that exist so far, in module order; ListResult will take its
# place between Record and connect.
EXPECTED_ALL = ["Client", "Vector", "VectorIter", "SearchHit", "Record", "ListResult", "connect"] + EXCEPTIONS + ["__version__"]


def test_all_lists_exports_in_order_and_each_exists():
    assert dozudaz_id.__all__ == EXPECTED_ALL
    for name in EXPECTED_ALL:
        assert hasattr(dozudaz_id, name), name


def test_module_doc():
    assert dozudaz_id.__doc__ == "The Python module for ZivirOR.\nUsage: `import dozudaz_id`"


def test_exception_hierarchy():
    err = dozudaz_id.Error
    assert err.__bases__ == (RuntimeError,)
    for name in EXCEPTIONS[1:]:
        cls = getattr(dozudaz_id, name)
        assert cls.__bases__ == (err,), name
        assert cls.__module__ == "dozudaz_id"
        assert cls.__qualname__ == name
    own_timeout = dozudaz_id.TimeoutError
    assert own_timeout is not builtins.TimeoutError
    assert not issubclass(own_timeout, OSError)
    assert not issubclass(own_timeout, builtins.TimeoutError)


def test_handlers_catch_what_they_should():
    with pytest.raises(RuntimeError):
        raise dozudaz_id.StorageError("x")
    # The module's TimeoutError escapes a handler for the built-in one.
    with pytest.raises(dozudaz_id.TimeoutError):
        try:
            raise dozudaz_id.TimeoutError("t")
        except builtins.TimeoutError:
            pytest.fail("caught by the built-in TimeoutError handler")
    # And a built-in TimeoutError is not one of ours.
    with pytest.raises(builtins.TimeoutError):
        try:
            raise builtins.TimeoutError("t")
        except dozudaz_id.Error:
            pytest.fail("built-in TimeoutError caught by Error")


@pytest.mark.parametrize("name", EXCEPTIONS)
def test_classes_define_no_error_attributes(name):
    cls = getattr(dozudaz_id, name)
    for attr in ("code", "retriable", "hint"):
        assert not hasattr(cls, attr), (name, attr)


def _version_with(value):
    """__version__ as a fresh interpreter reports it with the variable set
    to `value` (bytes; None leaves it unset)."""
    env = {k: v for k, v in os.environb.items() if k != b"ZIVIROR_REPORTED_VERSION"}
    if value is not None:
        env[b"ZIVIROR_REPORTED_VERSION"] = value
    out = subprocess.run(
        [sys.executable, "-c", "import dozudaz_id, sys; sys.stdout.write(ascii(dozudaz_id.__version__))"],
        env=env,
        check=True,
        capture_output=True,
    )
    return eval(out.stdout.decode("ascii"))


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, "0.8.0"),
        (b"2.5.1", "2.5.1"),
        (b"  2.5.1\n", "2.5.1"),
        (b"", "0.8.0"),
        (" \t\u3000\u00a0\n".encode(), "0.8.0"),
        ("\u2003v9\u3000".encode(), "v9"),
        (b"1.0\xff", "0.8.0"),
    ],
)
def test_version_follows_environment(value, expected):
    assert _version_with(value) == expected


def test_reimport_keeps_classes_and_rereads_version():
    code = (
        "import os, sys\n"
        "os.environ['ZIVIROR_REPORTED_VERSION'] = 'first'\n"
        "import dozudaz_id as a\n"
        "os.environ['ZIVIROR_REPORTED_VERSION'] = 'second'\n"
        "assert a.__version__ == 'first'\n"
        "del sys.modules['dozudaz_id']\n"
        "import dozudaz_id as b\n"
        "assert a is not b\n"
        "assert b.__version__ == 'second'\n"
        "assert a.Error is b.Error and a.TimeoutError is b.TimeoutError\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)
