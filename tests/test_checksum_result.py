"""The ChecksumResult class: attributes, printable form, and what it refuses."""
import pytest

import seqtally


@pytest.fixture
def result(fasta):
    return seqtally.checksum(fasta(b">chr1 some description\nACGT\n"))[0]


def test_the_class_is_named_and_closed(result):
    # A bare type name would leave __module__ unset and warn at creation.
    cls = type(result)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("seqtally", "ChecksumResult", "ChecksumResult")
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    for args in ((), ("a", 1, "b", "c")):
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls(*args)
    for name in ("id", "length", "sha512", "md5"):
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            delattr(result, name)


def test_repr_follows_id(result, fasta):
    assert repr(result) == str(result) == "<ChecksumResult for chr1>"
    result.id = "x"
    assert repr(result) == "<ChecksumResult for x>"
    empty = seqtally.checksum(fasta(b">\nAC\n"))[0]
    assert str(empty) == "<ChecksumResult for >"


@pytest.mark.parametrize(
    "name, value, error, message",
    [
        ("id", 5, TypeError, "'int' object cannot be converted to 'PyString'"),
        ("md5", None, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
        ("length", -1, OverflowError, None),
        ("length", 2**64, OverflowError, None),
        ("length", 1.5, TypeError, None),
        ("length", "7", TypeError, None),
    ],
)
def test_bad_assignments_leave_fields_unchanged(result, name, value, error, message):
    before = getattr(result, name)
    with pytest.raises(error) as caught:
        setattr(result, name, value)
    if message is not None:
        assert str(caught.value) == message
    assert getattr(result, name) == before


def test_assignments(result):
    result.length = True
    assert result.length == 1
    result.length = 2**64 - 1
    assert result.length == 2**64 - 1
    result.sha512 = "é\u0000x"
    assert result.sha512 == "é\u0000x"
    result.md5 = ""
    assert result.md5 == ""
