"""Argument binding and conversion of split_secret and combine_shares: every way of passing the
arguments, the interpreter-style binding errors, the accepted and rejected types, the
"argument '<name>': " wrapping of converter TypeErrors and what passes through unchanged."""

from __future__ import annotations

import ctypes
import operator
import sys
from collections.abc import Callable, Iterator
from typing import Any

import pytest

from conftest import run_python
from pyvelkor_core import combine_shares, split_secret

SECRET = bytes(range(32))
SHARES = split_secret(SECRET, 2, 3)

NEED_AT_LEAST_3 = "Shamir combine failed: Need at least 3 shares"
UNKNOWN_TYPE = "'<failed to extract type name>'"


class Index:
    """An integer-like object: split_secret and combine_shares take it through __index__."""

    def __init__(self, value: object) -> None:
        self.value = value

    def __index__(self) -> Any:
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


def index_error(value: object) -> str:
    """The interpreter's own message for an __index__ that returns `value` (3.15 words it anew)."""
    try:
        operator.index(Index(value))
    except TypeError as error:
        return str(error)
    raise AssertionError("operator.index accepted it")


class BytesSubclass(bytes):
    pass


class StrSubclass(str):
    pass


class Outer:
    class Inner:
        pass


def answering_qualname(answer: object) -> object:
    """An instance of a class named "Stored" whose metaclass answers type(value).__qualname__
    with `answer`, or raises it when it is an exception."""

    class Meta(type):
        def __getattribute__(cls, name: str) -> Any:
            if name != "__qualname__":
                return super().__getattribute__(name)
            if isinstance(answer, BaseException):
                raise answer
            return answer

    return Meta("Stored", (), {})()


def plain_type_error(call: Callable[[], object]) -> TypeError:
    """Runs a call that must fail with exactly TypeError and returns the exception."""
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert len(info.value.args) == 1
    return info.value


# --- binding ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        ((SECRET, 2, 3), {}),
        ((SECRET, 2), {"n": 3}),
        ((SECRET,), {"k": 2, "n": 3}),
        ((SECRET,), {"n": 3, "k": 2}),
        ((), {"secret": SECRET, "k": 2, "n": 3}),
        ((), {"n": 3, "secret": SECRET, "k": 2}),
        ((), {"k": 2, "n": 3, "secret": SECRET}),
        ((), {StrSubclass("secret"): SECRET, StrSubclass("k"): 2, "n": 3}),
    ],
)
def test_split_secret_binds_by_position_and_keyword(args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
    shares = split_secret(*args, **kwargs)
    assert [share.split(":")[0] for share in shares] == ["1", "2", "3"]
    assert combine_shares(shares[1:], 2) == SECRET


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        ((SHARES[:2], 2), {}),
        ((SHARES[:2],), {"k": 2}),
        ((), {"shares": SHARES[:2], "k": 2}),
        ((), {"k": 2, "shares": SHARES[:2]}),
    ],
)
def test_combine_shares_binds_by_position_and_keyword(args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
    assert combine_shares(*args, **kwargs) == SECRET


@pytest.mark.parametrize(
    ("function", "args", "kwargs", "message"),
    [
        (split_secret, (SECRET, 2), {"k": 3}, "split_secret() got multiple values for argument 'k'"),
        (split_secret, (SECRET,), {"secret": SECRET}, "split_secret() got multiple values for argument 'secret'"),
        (combine_shares, (SHARES,), {"shares": SHARES}, "combine_shares() got multiple values for argument 'shares'"),
        (split_secret, (SECRET, 2, 3), {"x": 1}, "split_secret() got an unexpected keyword argument 'x'"),
        (split_secret, (SECRET, 2, 3), {"K": 2}, "split_secret() got an unexpected keyword argument 'K'"),
        (combine_shares, (SHARES, 2), {"n": 3}, "combine_shares() got an unexpected keyword argument 'n'"),
        (split_secret, (SECRET, 2, 3), {"\ud800": 1}, "split_secret() got an unexpected keyword argument '\ud800'"),
        (split_secret, (SECRET, 2, 3, 4), {}, "split_secret() takes 3 positional arguments but 4 were given"),
        (split_secret, (SECRET, 2, 3, 4, 5), {"x": 1}, "split_secret() takes 3 positional arguments but 5 were given"),
        (split_secret, (SECRET, 2, 3, 4), {"k": 1}, "split_secret() takes 3 positional arguments but 4 were given"),
        (combine_shares, (SHARES, 2, 3), {}, "combine_shares() takes 2 positional arguments but 3 were given"),
        (split_secret, (), {}, "split_secret() missing 3 required positional arguments: 'secret', 'k', and 'n'"),
        (split_secret, (SECRET,), {"n": 3}, "split_secret() missing 1 required positional argument: 'k'"),
        (split_secret, (SECRET,), {}, "split_secret() missing 2 required positional arguments: 'k' and 'n'"),
        (split_secret, (), {"k": 2}, "split_secret() missing 2 required positional arguments: 'secret' and 'n'"),
        (combine_shares, (), {}, "combine_shares() missing 2 required positional arguments: 'shares' and 'k'"),
        (combine_shares, (), {"k": 2}, "combine_shares() missing 1 required positional argument: 'shares'"),
        # The keyword dictionary is walked in order and the first bad key decides.
        (split_secret, (SECRET, 2), {"k": 3, "x": 1}, "split_secret() got multiple values for argument 'k'"),
        (split_secret, (SECRET, 2), {"x": 1, "k": 3}, "split_secret() got an unexpected keyword argument 'x'"),
        # Keyword errors come before missing arguments.
        (split_secret, (), {"x": 1}, "split_secret() got an unexpected keyword argument 'x'"),
        # Binding comes before any conversion.
        (split_secret, (object(), 2.0, -1), {"x": 1}, "split_secret() got an unexpected keyword argument 'x'"),
        (combine_shares, ("not a list",), {}, "combine_shares() missing 1 required positional argument: 'k'"),
    ],
)
def test_binding_errors(
    function: Callable[..., object], args: tuple[Any, ...], kwargs: dict[str, Any], message: str
) -> None:
    error = plain_type_error(lambda: function(*args, **kwargs))
    assert error.args == (message,)
    assert error.__cause__ is None


def _call_with_raw_keywords(function: object, args: tuple[Any, ...], kwargs: dict[Any, Any]) -> object:
    # Call syntax only passes str keys; PyObject_Call hands any dict to the function as it is.
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(function, args, kwargs)


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({1: 2}, "'int' object cannot be converted to 'PyString'"),
        ({b"n": 3}, "'bytes' object cannot be converted to 'PyString'"),
        ({"n": 3, (): 1}, "'tuple' object cannot be converted to 'PyString'"),
    ],
)
def test_non_str_keyword_key(kwargs: dict[Any, Any], message: str) -> None:
    error = plain_type_error(lambda: _call_with_raw_keywords(split_secret, (SECRET, 2), kwargs))
    assert error.args == (message,)


def test_raw_keyword_dictionary_binds_like_call_syntax() -> None:
    assert combine_shares(_call_with_raw_keywords(split_secret, (SECRET,), {"n": 3, "k": 2}), 2) == SECRET


def test_arguments_stay_alive_when_user_code_empties_the_keyword_dictionary() -> None:
    # A caller of PyObject_Call still reaches its dictionary: k's __index__ empties it, and the
    # arguments bound from it must live on until the call ends.
    filler: list[object] = []

    class Emptying:
        def __index__(self) -> int:
            kwargs.clear()
            filler.extend(bytes([0xEE]) * 32 for _ in range(8))  # would reuse a freed secret
            filler.extend("x" * 140 + str(i) for i in range(8))  # and freed share strings
            return 2

    for _ in range(20):
        kwargs = {"secret": bytes(bytearray(SECRET)), "k": Emptying(), "n": 3}
        shares = _call_with_raw_keywords(split_secret, (), kwargs)
        assert combine_shares(shares, 2) == SECRET  # type: ignore[arg-type]
        kwargs = {"shares": [share[:2] + share[2:] for share in SHARES], "k": Emptying()}
        assert _call_with_raw_keywords(combine_shares, (), kwargs) == SECRET


# --- conversion of secret, k and n -----------------------------------------------------------


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((bytearray(32), 2, 3), "argument 'secret': 'bytearray' object cannot be converted to 'PyBytes'"),
        ((memoryview(SECRET), 2, 3), "argument 'secret': 'memoryview' object cannot be converted to 'PyBytes'"),
        (("x" * 32, 2, 3), "argument 'secret': 'str' object cannot be converted to 'PyBytes'"),
        ((None, 2, 3), "argument 'secret': 'NoneType' object cannot be converted to 'PyBytes'"),
        ((Outer.Inner(), 2, 3), "argument 'secret': 'Outer.Inner' object cannot be converted to 'PyBytes'"),
        # The type's __qualname__ attribute, as its metaclass answers it, not the stored name.
        ((answering_qualname("Shown"), 2, 3), "argument 'secret': 'Shown' object cannot be converted to 'PyBytes'"),
        ((answering_qualname(5), 2, 3), f"argument 'secret': {UNKNOWN_TYPE} object cannot be converted to 'PyBytes'"),
        (
            (answering_qualname(RuntimeError()), 2, 3),
            f"argument 'secret': {UNKNOWN_TYPE} object cannot be converted to 'PyBytes'",
        ),
        ((SECRET, 2.0, 3), "argument 'k': 'float' object cannot be interpreted as an integer"),
        ((SECRET, "2", 3), "argument 'k': 'str' object cannot be interpreted as an integer"),
        ((SECRET, 2, None), "argument 'n': 'NoneType' object cannot be interpreted as an integer"),
        ((SECRET, Index("2"), 3), "argument 'k': " + index_error("2")),
        # Conversion order is secret, k, n, and every conversion precedes the core's checks.
        ((SECRET, 2.0, -1), "argument 'k': 'float' object cannot be interpreted as an integer"),
        ((b"", 2.0, 3), "argument 'k': 'float' object cannot be interpreted as an integer"),
        ((1.5, -1, 2**64), "argument 'secret': 'float' object cannot be converted to 'PyBytes'"),
        ((b"", 2, 3.0), "argument 'n': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_split_secret_conversion_type_errors(args: tuple[Any, ...], message: str) -> None:
    error = plain_type_error(lambda: split_secret(*args))
    assert error.args == (message,)
    assert error.__cause__ is None
    assert error.__suppress_context__


def test_type_name_that_is_not_utf8_text() -> None:
    odd = type("Odd", (), {})
    odd.__qualname__ = "Odd\ud800"
    error = plain_type_error(lambda: split_secret(odd(), 2, 3))
    assert error.args == ("argument 'secret': '<failed to extract type name>' object cannot be converted to 'PyBytes'",)


@pytest.mark.parametrize("value", [-1, 2**64, 2**100, -(2**64), Index(-5)])
@pytest.mark.parametrize("position", [1, 2])
def test_out_of_range_integers_raise_the_interpreters_overflow_error(value: object, position: int) -> None:
    args: list[Any] = [b"", 2, 3]  # the wrong length shows that conversion comes first
    args[position] = value
    with pytest.raises(OverflowError) as info:
        split_secret(*args)
    assert type(info.value) is OverflowError
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    ("k", "n", "message"),
    [
        (True, 3, "Shamir split failed: k must be >= 2"),  # True is 1
        (False, 3, "Shamir split failed: k must be >= 2"),
        (2, True, "Shamir split failed: n must be >= k"),
        (Index(1), 3, "Shamir split failed: k must be >= 2"),
        (2**64 - 1, 3, "Shamir split failed: n must be >= k"),  # all ones is a valid value
    ],
)
def test_integer_conversion_reaches_the_core(k: object, n: object, message: str) -> None:
    with pytest.raises(ValueError) as info:
        split_secret(SECRET, k, n)
    assert info.value.args == (message,)


def test_accepted_argument_types() -> None:
    shares = split_secret(BytesSubclass(SECRET), Index(2), Index(3))
    assert combine_shares(tuple(shares[::2]), Index(2)) == SECRET
    assert len(combine_shares([StrSubclass(shares[0])], True)) == 32  # k = 1 is accepted
    with pytest.raises(ValueError, match="^Shamir combine failed: Need at least 18446744073709551615 shares$"):
        combine_shares(shares, 2**64 - 1)


# --- conversion of shares --------------------------------------------------------------------


def _generator() -> Iterator[str]:
    yield from SHARES


@pytest.mark.parametrize(
    ("shares", "message"),
    [
        (SHARES[0], "Can't extract `str` to `Vec`"),
        (StrSubclass(SHARES[0]), "Can't extract `str` to `Vec`"),
        ("", "Can't extract `str` to `Vec`"),
        (b"ab", "'int' object cannot be converted to 'PyString'"),
        (bytearray(b"a"), "'int' object cannot be converted to 'PyString'"),
        ([SHARES[0], SHARES[1], 5], "'int' object cannot be converted to 'PyString'"),
        ([SHARES[0], SHARES[1], SHARES[2].encode()], "'bytes' object cannot be converted to 'PyString'"),
        (range(3), "'int' object cannot be converted to 'PyString'"),
        ({SHARES[0]: 1, SHARES[1]: 2}, "'dict' object cannot be converted to 'Sequence'"),
        (set(SHARES), "'set' object cannot be converted to 'Sequence'"),
        (frozenset(SHARES), "'frozenset' object cannot be converted to 'Sequence'"),
        (_generator(), "'generator' object cannot be converted to 'Sequence'"),
        (iter(SHARES), "'list_iterator' object cannot be converted to 'Sequence'"),
        (None, "'NoneType' object cannot be converted to 'Sequence'"),
        (5, "'int' object cannot be converted to 'Sequence'"),
    ],
)
def test_shares_conversion_type_errors(shares: object, message: str) -> None:
    # k = 2 with valid leading strings: the failure comes from converting every item.
    error = plain_type_error(lambda: combine_shares(shares, 2))
    assert error.args == ("argument 'shares': " + message,)
    assert error.__cause__ is None


def test_shares_conversion_comes_before_k() -> None:
    error = plain_type_error(lambda: combine_shares({}, 2.0))
    assert error.args == ("argument 'shares': 'dict' object cannot be converted to 'Sequence'",)
    error = plain_type_error(lambda: combine_shares([], "2"))
    assert error.args == ("argument 'k': 'str' object cannot be interpreted as an integer",)
    with pytest.raises(OverflowError):
        combine_shares([], -1)


def test_item_that_is_not_utf8_raises_the_interpreters_encoding_error() -> None:
    with pytest.raises(UnicodeEncodeError) as info:
        combine_shares([SHARES[0], SHARES[1], "\udc80"], 2)
    assert not str(info.value).startswith("argument")


class Sequence:
    """A sequence by the interpreter's check (it has __getitem__), with hooks that can fail."""

    def __init__(
        self,
        items: list[Any],
        *,
        length: object = None,
        iter_error: BaseException | None = None,
        fail_at: int | None = None,
        item_error: BaseException | None = None,
    ) -> None:
        self.items, self.length, self.iter_error = items, length, iter_error
        self.fail_at, self.item_error = fail_at, item_error

    def __len__(self) -> int:
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length  # type: ignore[return-value]

    def __getitem__(self, position: int) -> Any:
        if position == self.fail_at and self.item_error is not None:
            raise self.item_error
        return self.items[position]

    def __iter__(self) -> Iterator[Any]:
        if self.iter_error is not None:
            raise self.iter_error
        for position in range(len(self.items)):
            yield self[position]


@pytest.mark.parametrize(
    "sequence",
    [
        Sequence(SHARES),
        Sequence(SHARES, length=ValueError("no length")),  # the length is only a hint
        Sequence(SHARES, length=TypeError("no length")),
        Sequence(SHARES, length=0),
        Sequence(SHARES, length=1000),
        Sequence(SHARES, length=2**40),  # an overstated length reserves no absurd memory
        Sequence(SHARES, length=sys.maxsize),
        Sequence(SHARES, length=-1),
        tuple(SHARES),
    ],
)
def test_custom_sequences_are_iterated(sequence: object) -> None:
    assert combine_shares(sequence, 3) == SECRET


class GetItemOnly:
    """Iterated by the interpreter's sequence iterator until IndexError."""

    def __getitem__(self, position: int) -> str:
        return SHARES[position]


def test_sequence_without_iter_or_len() -> None:
    assert combine_shares(GetItemOnly(), 2) == SECRET


# --- what is wrapped and what passes unchanged -----------------------------------------------


class TypeErrorSubclass(TypeError):
    pass


CallFactory = Callable[[BaseException], Callable[[], object]]


def _fails_with_k(error: BaseException) -> Callable[[], object]:
    return lambda: split_secret(SECRET, Index(error), 3)


def _fails_in_iter(error: BaseException) -> Callable[[], object]:
    return lambda: combine_shares(Sequence(SHARES, iter_error=error), 2)


def _fails_in_next(error: BaseException) -> Callable[[], object]:
    return lambda: combine_shares(Sequence(SHARES, fail_at=2, item_error=error), 2)


@pytest.mark.parametrize("make_call", [_fails_with_k, _fails_in_iter, _fails_in_next])
def test_user_errors_other_than_plain_type_error_pass_unchanged(make_call: CallFactory) -> None:
    for original in [
        ValueError("bad"),
        TypeErrorSubclass("bad"),
        RuntimeError("bad"),
        KeyboardInterrupt(),
        MemoryError(),
    ]:
        with pytest.raises(BaseException) as info:
            make_call(original)()
        assert info.value is original


@pytest.mark.parametrize(
    ("make_call", "parameter"),
    [(_fails_with_k, "k"), (_fails_in_iter, "shares"), (_fails_in_next, "shares")],
)
def test_plain_type_error_from_user_code_is_wrapped(make_call: CallFactory, parameter: str) -> None:
    original = TypeError("no good", 42)
    error = plain_type_error(make_call(original))
    assert error is not original
    assert error.args == (f"argument '{parameter}': ('no good', 42)",)
    assert error.__cause__ is None
    assert error.__suppress_context__

    cause = LookupError("the reason")
    original = TypeError("no good")
    original.__cause__ = cause
    error = plain_type_error(make_call(original))
    assert error.args == (f"argument '{parameter}': no good",)
    assert error.__cause__ is cause  # the original's own cause, not the original itself
    assert error.__suppress_context__


def test_wrapping_survives_an_unprintable_error() -> None:
    class Unprintable:
        def __str__(self) -> str:
            raise RuntimeError("no str")

    error = plain_type_error(_fails_with_k(TypeError(Unprintable())))
    assert error.args == ("argument 'k': <exception str() failed>",)


def test_context_of_errors_raised_while_handling_another() -> None:
    handled = KeyError("handled")
    try:
        raise handled
    except KeyError:
        with pytest.raises(TypeError) as wrapped:
            split_secret(SECRET, 2.0, 3)
        with pytest.raises(TypeError) as binding:
            split_secret(SECRET)
    assert wrapped.value.__context__ is handled and wrapped.value.__suppress_context__
    assert binding.value.__context__ is handled and not binding.value.__suppress_context__


def test_panic_exception_from_user_code_is_resumed() -> None:
    result = run_python(
        """
        import pyvelkor_core
        try:
            pyvelkor_core.split_secret(bytes(32), 2, 2**63)  # a reservation that cannot be sized
        except BaseException as error:
            panic_type = type(error)

        def panic(where):
            raise panic_type("raised by " + where)

        class Index:
            def __index__(self):
                panic("__index__")

        class Unprintable:
            def __str__(self):
                panic("__str__")

        class WrappedTypeError:  # its TypeError is wrapped, which needs its str()
            def __index__(self):
                raise TypeError(Unprintable())

        class Unsized:  # an empty sequence whose length is only a hint
            def __len__(self):
                panic("__len__")
            def __getitem__(self, position):
                raise IndexError(position)

        class Meta(type):
            def __getattribute__(cls, name):
                if name == "__qualname__":
                    panic("__qualname__")
                return super().__getattribute__(name)

        for call in (lambda: pyvelkor_core.split_secret(bytes(32), Index(), 3),
                     lambda: pyvelkor_core.combine_shares([], Index()),
                     lambda: pyvelkor_core.split_secret(bytes(32), WrappedTypeError(), 3),
                     lambda: pyvelkor_core.combine_shares(Unsized(), 0),
                     lambda: pyvelkor_core.split_secret(Meta("Odd", (), {})(), 2, 3)):
            try:
                call()
                print("returned")
            except BaseException as error:
                print(type(error) is panic_type, error.args)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        f"True ('raised by {where}',)" for where in ["__index__", "__index__", "__str__", "__len__", "__qualname__"]
    ]
    assert result.stderr.count("Python stack trace below:") == 5
    # The resumed failure writes no report of its own; only the capacity overflow did.
    assert result.stderr.count("hit an internal failure") == 1


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt(), SystemExit(3)])
def test_interrupt_from_len_is_not_dropped(interrupt: BaseException) -> None:
    # Other errors of __len__ only lose the size hint (test_custom_sequences_are_iterated).
    with pytest.raises(BaseException) as info:
        combine_shares(Sequence(SHARES, length=interrupt), 3)
    assert info.value is interrupt


def test_error_results_write_nothing(capfd: pytest.CaptureFixture[str]) -> None:
    calls: list[Callable[[], object]] = [
        lambda: split_secret(b"", 2, 3),
        lambda: split_secret(SECRET, 1, 3),
        lambda: split_secret(SECRET, 2.0, 3),
        lambda: split_secret(SECRET, -1, 3),
        lambda: split_secret(SECRET, 2, 3, x=1),
        lambda: combine_shares(SHARES, 4),
        lambda: combine_shares(["1:0:0:0", SHARES[0]], 2),
        lambda: combine_shares([SHARES[0], "\udc80"], 2),
        lambda: combine_shares(SHARES[0], 2),
        lambda: combine_shares(Sequence(SHARES, iter_error=TypeError("x")), 2),
    ]
    for call in calls:
        with pytest.raises((TypeError, ValueError, OverflowError)):
            call()
    assert capfd.readouterr() == ("", "")
