"""The module object, argument binding and conversion, ChecksumResult, and
PanicException."""
import pathlib

import pytest

import seqtally
from conftest import PanicException, run_python

WRITE_ARGS = dict(
    input="in.fa", output="out.wig", compression_level=6, window_size=100, omit_tail=False,
    chrom_sizes_path="sizes", write_chrom_sizes=False, verbose=False,
)


def test_module_attributes():
    assert seqtally.__all__ == ["checksum", "write_seqtally_to_file"] and seqtally.__doc__.strip()
    assert not hasattr(seqtally, "ChecksumResult") and not hasattr(seqtally, "PanicException")
    assert [(f.__text_signature__, f.__module__, f.__self__, f.__doc__)
            for f in (seqtally.checksum, seqtally.write_seqtally_to_file)] == [
        ("(file, verbose=None)", "seqtally", seqtally, None),
        ("(input, output, compression_level, window_size, omit_tail, chrom_sizes_path, write_chrom_sizes, verbose)",
         "seqtally", seqtally, None)]


@pytest.mark.parametrize("call, message", [
        (lambda: seqtally.checksum(), "checksum() missing 1 required positional argument: 'file'"),
        (lambda: seqtally.checksum("a", None, 3),
         "checksum() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: seqtally.write_seqtally_to_file(*range(9)),
         "write_seqtally_to_file() takes 8 positional arguments but 9 were given"),
        (lambda: seqtally.write_seqtally_to_file("a", "b"),
         "write_seqtally_to_file() missing 6 required positional arguments: 'compression_level', "
         "'window_size', 'omit_tail', 'chrom_sizes_path', 'write_chrom_sizes', and 'verbose'"),
        (lambda: seqtally.write_seqtally_to_file("a", "b", 1, 2, chrom_sizes_path="c", write_chrom_sizes=True),
         "write_seqtally_to_file() missing 2 required positional arguments: 'omit_tail' and 'verbose'"),
        (lambda: seqtally.checksum("a", file="b"), "checksum() got multiple values for argument 'file'"),
        (lambda: seqtally.checksum("a", verbos=True), "checksum() got an unexpected keyword argument 'verbos'"),
        # Too many positionals is reported before any keyword is looked at.
        (lambda: seqtally.checksum("a", None, 3, bogus=1),
         "checksum() takes from 1 to 2 positional arguments but 3 were given"),
        # An unexpected keyword is reported before missing arguments.
        (lambda: seqtally.checksum(verbose=True, x=1), "checksum() got an unexpected keyword argument 'x'"),
        (lambda: seqtally.checksum(verbose=True), "checksum() missing 1 required positional argument: 'file'"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert (type(caught.value), str(caught.value)) == (TypeError, message)


class Index:
    """An __index__ object that gives its value, or raises it if it is an exception."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class StrSubclass(str):
    pass


class OwnTypeError(TypeError):
    pass


@pytest.mark.parametrize("changes, error_type, message", [
        (dict(input=5), TypeError, "argument 'input': 'int' object cannot be converted to 'PyString'"),
        (dict(output=pathlib.Path("x")), TypeError,
         "argument 'output': 'PosixPath' object cannot be converted to 'PyString'"),
        (dict(chrom_sizes_path=None), TypeError,
         "argument 'chrom_sizes_path': 'NoneType' object cannot be converted to 'PyString'"),
        (dict(chrom_sizes_path=None, write_chrom_sizes=True), TypeError,
         "argument 'chrom_sizes_path': 'NoneType' object cannot be converted to 'PyString'"),
        (dict(omit_tail=1), TypeError, "argument 'omit_tail': 'int' object cannot be converted to 'PyBool'"),
        (dict(verbose=None), TypeError, "argument 'verbose': 'NoneType' object cannot be converted to 'PyBool'"),
        (dict(compression_level=-1), OverflowError, "out of range integral type conversion attempted"),
        (dict(compression_level=2**32), OverflowError, "out of range integral type conversion attempted"),
        (dict(window_size=2**40), OverflowError, "out of range integral type conversion attempted"),
        (dict(window_size=-(2**31) - 1), OverflowError, "out of range integral type conversion attempted"),
        (dict(window_size=2**70), OverflowError, "Python int too large to convert to C long"),
        (dict(window_size=1.5), TypeError,
         "argument 'window_size': 'float' object cannot be interpreted as an integer"),
        (dict(window_size=Index(TypeError("bad index"))), TypeError, "argument 'window_size': bad index"),
        (dict(window_size=Index(ValueError("plain"))), ValueError, "plain"),
        (dict(compression_level=Index(OwnTypeError("mine"))), OwnTypeError, "mine"),  # a subclass: not wrapped
        # Parameters are converted in order: input is named, not window_size.
        (dict(input=1, window_size="x"), TypeError,
         "argument 'input': 'int' object cannot be converted to 'PyString'"),
        (dict(input="\ud800"), UnicodeEncodeError, None),
])
def test_conversion_errors(changes, error_type, message):
    with pytest.raises(BaseException) as caught:
        seqtally.write_seqtally_to_file(**{**WRITE_ARGS, **changes})
    assert type(caught.value) is error_type
    if message is not None:
        assert str(caught.value) == message


def test_wrapped_type_error_keeps_only_the_original_cause():
    cause = KeyError("root")
    inner = TypeError("inner")
    inner.__cause__ = cause
    with pytest.raises(TypeError) as caught:
        seqtally.write_seqtally_to_file(**{**WRITE_ARGS, "window_size": Index(inner)})
    assert caught.value is not inner
    assert str(caught.value) == "argument 'window_size': inner"
    assert caught.value.__cause__ is cause


def test_accepted_argument_forms(fasta, tmp_path):
    path = fasta(b">a\nACGT\n")
    for verbose in (None, False, True):
        assert [r.id for r in seqtally.checksum(StrSubclass(path), verbose)] == ["a"]
    assert [r.id for r in seqtally.checksum(file=path)] == ["a"]
    # True is accepted as window size 1 and an __index__ object as a level.
    out = tmp_path / "o.wig"
    seqtally.write_seqtally_to_file(path, str(out), Index(3), True, False, "x", False, False)
    assert out.read_text().splitlines()[1:] == ["variableStep chrom=a span=1", "1\t0", "2\t100", "3\t100", "4\t0"]


def test_checksum_result_is_a_closed_named_class_with_checked_fields(fasta):
    result = seqtally.checksum(fasta(b">chr1 some description\nACGT\n"))[0]
    cls = type(result)
    # A bare type name would leave __module__ unset and warn at creation.
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("seqtally", "ChecksumResult", "ChecksumResult")
    assert repr(result) == str(result) == "<ChecksumResult for chr1>"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    for args in ((), ("a", 1, "b", "c")):
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls(*args)
    for name in ("id", "length", "sha512", "md5"):
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            delattr(result, name)
    # field, value, what it then holds or the error (with the binding's words where it gives them)
    for name, value, outcome in [
        ("id", 5, TypeError("'int' object cannot be converted to 'PyString'")),
        ("md5", None, TypeError("'NoneType' object cannot be converted to 'PyString'")),
        ("length", -1, OverflowError()), ("length", 2**64, OverflowError()), ("length", 1.5, TypeError()),
        ("length", "7", TypeError()), ("length", True, 1), ("length", 2**64 - 1, 2**64 - 1),
        ("sha512", "\u00e9\u0000x", "\u00e9\u0000x"), ("md5", "", ""), ("id", "", ""),
    ]:
        before = getattr(result, name)
        if isinstance(outcome, Exception):
            with pytest.raises(type(outcome)) as caught:
                setattr(result, name, value)
            assert not outcome.args or str(caught.value) == outcome.args[0], (name, value)
            assert getattr(result, name) == before
        else:
            setattr(result, name, value)
            assert getattr(result, name) == outcome
    assert repr(result) == "<ChecksumResult for >"  # the repr follows the id


def test_panic_exception_type():
    assert (PanicException.__module__, PanicException.__name__, PanicException.__bases__) == (
        "pyo3_runtime", "PanicException", (BaseException,))
    with pytest.raises(PanicException) as caught:
        seqtally.checksum("/nonexistent")
    assert caught.value.args == (str(caught.value),)


def test_second_initialisation_fails_and_a_panic_handed_back_resumes():
    out, err = run_python("""
        import importlib, sys, seqtally
        try:
            seqtally.checksum("/nonexistent")
        except BaseException as error:
            first = error
        class Index:
            def __index__(self):
                raise first
        try:
            seqtally.write_seqtally_to_file("a", "b", Index(), 1, False, "c", False, False)
        except BaseException as error:
            print(type(error).__name__, error.args == first.args, error is first)
        del sys.modules["seqtally"]
        try:
            importlib.import_module("seqtally")
        except ImportError as error:
            print(error)
        """)
    assert out.decode().splitlines() == [
        "PanicException True False", "PyO3 modules may only be initialized once per interpreter process"]
    text = err.decode()
    assert "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n" \
           "Python stack trace below:\n" in text
    # One failure report for the original failure, none for the resumed one.
    assert text.count("panicked at") == 1
