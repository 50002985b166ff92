"""search_multi: the namespace list refused before the gate and after it,
merging across namespaces, skipped invalid names and the order of ties."""
import pytest

from dozudaz_id import connect


@pytest.fixture
def mem():
    client = connect("", backend="memory")
    yield client
    client.close()


@pytest.mark.parametrize("namespaces, exc, message", [
    ("ns", TypeError, "Can't extract `str` to `Vec`"),
    (5, TypeError, "'int' object is not an instance of 'Sequence'"),
    (b"ns", TypeError, "'int' object is not an instance of 'str'"),
    (["a", 1], TypeError, "'int' object is not an instance of 'str'"),
    ({"a"}, TypeError, "'set' object is not an instance of 'Sequence'"),
    (None, TypeError, "'None' is not an instance of 'Sequence'"),
])
def test_namespaces_refused_before_the_gate_even_when_closed(mem, namespaces, exc, message):
    for closed in (False, True):
        if closed:
            mem.close()
        with pytest.raises(exc) as info:
            mem.search_multi(namespaces, [1.0, 0.0])
        assert str(info.value) == message
        assert info.value.__notes__ == ["while processing 'namespaces'"]


def test_empty_list_refused_after_the_gate(mem):
    for seq in ([], ()):
        with pytest.raises(ValueError, match="^search_multi: namespaces must be a non-empty list$"):
            mem.search_multi(seq, [1.0, 0.0])
    mem.close()
    with pytest.raises(RuntimeError, match="^database is closing$"):
        mem.search_multi([], [1.0, 0.0])


def test_merges_skips_invalid_names_and_keeps_namespace_order_on_ties(mem):
    for ns in ("a", "b"):
        mem.put(ns, "same", "p", vector=[1.0, 0.0])
    mem.put("a", "far", "p", vector=[0.0, 1.0])
    mem.put("b", "near", "p", vector=[1.0, 0.1])

    hits = mem.search_multi(["b", "a"], [1.0, 0.0], top_k=10)
    assert [(h.namespace, h.key) for h in hits[:2]] == [("b", "same"), ("a", "same")]
    assert [h.score for h in hits] == sorted((h.score for h in hits), reverse=True)
    assert {(h.namespace, h.key) for h in hits} == {("a", "same"), ("b", "same"), ("a", "far"), ("b", "near")}
    assert [(h.namespace, h.key) for h in mem.search_multi(("a", "b"), [1.0, 0.0], top_k=2)] == \
        [("a", "same"), ("b", "same")]

    # An invalid name is skipped; only invalid names give no hits.
    valid = mem.search_multi(["a", ""], [1.0, 0.0])
    assert [(h.namespace, h.key) for h in valid] == [(h.namespace, h.key) for h in mem.search("a", [1.0, 0.0])]
    assert mem.search_multi(["", "x" * 10_000], [1.0, 0.0]) == []
    assert mem.search_multi(["a", "b"], [1.0, 0.0], top_k=0) == []
    assert [h.key for h in mem.memory.search_multi(["a"], [1.0, 0.0], top_k=1)] == ["same"]
