"""The grouped facades of a Client: new objects on every read that keep their
client alive and forward calls untouched; flush and capabilities."""
import gc

import pytest

import dozudaz_id
from dozudaz_id import ValidationError, connect

FACADES = {"memory": "MemoryClient", "graph": "GraphClient", "system": "SystemClient", "wiki": "WikiClient"}
READ_ONLY = "Validation error on read_only: this operation is not available when ZivirOR is opened read-only"


@pytest.fixture
def mem():
    client = connect("", backend="memory")
    yield client
    client.close()


@pytest.mark.parametrize("attr,cls", FACADES.items())
def test_each_read_makes_a_new_facade_of_a_hidden_class(mem, attr, cls):
    a, b = getattr(mem, attr), getattr(mem, attr)
    assert a is not b
    assert type(a).__name__ == cls and type(a) is type(b)
    assert not hasattr(dozudaz_id, cls)
    with pytest.raises(TypeError, match=f"cannot create 'builtins.{cls}' instances"):
        type(a)()
    with pytest.raises(AttributeError):
        setattr(mem, attr, None)
    assert not hasattr(a, "__enter__") and not hasattr(a, "__exit__")


def test_class_and_getter_docstrings(mem):
    assert type(mem.memory).__doc__.startswith("Grouped memory-record operations (``db.memory.*``)")
    assert type(mem.graph).__doc__.startswith(
        "Grouped graph operations (``db.graph.*``): node/edge CRUD and traversals.")
    assert type(mem.system).__doc__.startswith("Catch-all system operations (``db.system.*``)")
    assert type(mem.wiki).__doc__ == "Wiki summary-archive recovery (``db.wiki.*``)."
    Client = type(mem)
    assert Client.memory.__doc__ is None
    assert Client.graph.__doc__ == \
        "Grouped graph operations (``db.graph.*``) \u2014 node/edge CRUD + traversals."
    assert Client.system.__doc__ == ("Catch-all system operations (``db.system.*``): lifecycle, metrics,\n"
                                     "VOV, index maintenance, import/export.")
    assert Client.wiki.__doc__ == "Wiki summary-archive recovery (``db.wiki.*``)."
    assert [m for m in dir(type(mem.memory)) if not m.startswith("_")] == \
        sorted(["put", "put_batch", "search", "search_multi", "count", "delete_by_filter",
                "list_namespaces", "get", "delete", "list"])
    assert [m for m in dir(type(mem.system)) if not m.startswith("_")] == sorted(["capabilities", "flush", "close"])


def test_forwarders_carry_the_fixed_docstring(mem):
    for facade, name in [(mem.memory, "put"), (mem.memory, "put_batch"), (mem.memory, "search"),
                         (mem.memory, "search_multi"), (mem.memory, "count"),
                         (mem.memory, "delete_by_filter"), (mem.memory, "list_namespaces"),
                         (mem.system, "flush"), (mem.system, "capabilities"), (mem.system, "close")]:
        method = getattr(facade, name)
        assert method.__doc__ == f"Delegates to ``Client.{name}`` \u2014 same signature, same result."
        assert method.__text_signature__ == "($self, *args, **kwargs)"
    assert mem.memory.get.__text_signature__ == "($self, namespace, key)"
    assert not hasattr(mem, "get") and not hasattr(mem, "delete")


def test_forwarding_reaches_the_same_database_with_the_same_result(mem):
    via_facade = mem.memory.put("ns", "k", "p", metadata={"a": 1}, vector=[1.0, 0.0])
    direct = mem.put("ns", "k2", payload="p", metadata={"a": 1}, vector=[1.0, 0.0])
    assert (via_facade.payload, via_facade.metadata, list(via_facade.vector)) == \
        (direct.payload, direct.metadata, list(direct.vector))
    assert mem.memory.get("ns", "k2").payload == "p"
    hits = mem.memory.search("ns", [1.0, 0.0], top_k=5)
    assert {h.key for h in hits} == {"k", "k2"}


@pytest.mark.parametrize("facade,call", [
    ("memory", lambda c: c.put("ns")),
    ("memory", lambda c: c.put("ns", "k", "p", bogus=1)),
    ("memory", lambda c: c.put(1, "k", "p")),
    ("memory", lambda c: c.put_batch("abc")),
    ("memory", lambda c: c.search("ns")),
    ("system", lambda c: c.flush(1)),
])
def test_wrong_arguments_raise_alike_through_a_facade(mem, facade, call):
    with pytest.raises(Exception) as direct:
        call(mem)
    with pytest.raises(Exception) as forwarded:
        call(getattr(mem, facade))
    assert type(forwarded.value) is type(direct.value)
    assert str(forwarded.value) == str(direct.value)
    assert getattr(forwarded.value, "__notes__", None) == getattr(direct.value, "__notes__", None)


def test_a_facade_keeps_its_client_open(tmp_path):
    client = connect(str(tmp_path / "db"))
    memory = client.memory
    del client
    gc.collect()
    memory.put("ns", "k", "still open")
    assert memory.get("ns", "k").payload == "still open"
    memory.put_batch([{"namespace": "ns", "key": "k2"}])
    assert memory.get("ns", "k2").payload == ""


def test_close_through_system_closes_every_facade(mem):
    memory, system = mem.memory, mem.system
    system.close()
    for call in [lambda: memory.search("ns", [1.0]), lambda: memory.get("ns", "k"),
                 lambda: memory.delete("ns", "k"), lambda: memory.put("ns", "k", "p"),
                 lambda: mem.put_batch([]), lambda: system.flush(), lambda: mem.flush()]:
        with pytest.raises(RuntimeError, match="^database is closing$"):
            call()
    assert system.capabilities()["read_only"] is False


def test_capabilities_and_flush(tmp_path):
    path = str(tmp_path / "db")
    with connect(path) as client:
        caps = client.capabilities()
        assert list(caps.items()) == [("profile", "PERFORMANCE"), ("read_only", False), ("persistence", True),
                                      ("vector_search", True), ("vov_queries", True)]
        client.put("ns", "k", "p")
        assert client.flush() is None
        with pytest.raises(TypeError):
            client.flush(1)
    ro = connect(path, read_only=True)
    try:
        assert ro.capabilities()["read_only"] is True
        assert ro.system.capabilities()["persistence"] is True
        with pytest.raises(ValidationError) as err:
            ro.flush()
        assert str(err.value) == READ_ONLY
        with pytest.raises(ValidationError) as err:
            ro.memory.delete("ns", "k")
        assert str(err.value) == READ_ONLY
        assert ro.memory.get("ns", "k").payload == "p"
    finally:
        ro.close()
    assert ro.capabilities()["read_only"] is True
