"""Ordinary use of pyvelkor_core; type-checked with `mypy --strict` against the installed stubs."""

from __future__ import annotations

from collections.abc import Sequence
from typing import assert_type

import pyvelkor_core
from pyvelkor_core import combine_shares, generate_key, split_secret


class Threshold:
    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


def rebuild(shares: Sequence[str], threshold: int) -> bytes:
    return combine_shares(shares, threshold)


key = generate_key()
assert_type(key, bytes)
shares = split_secret(key, 3, n=5)
assert_type(shares, list[str])
assert_type(split_secret(secret=key, k=Threshold(2), n=True), list[str])
assert_type(combine_shares(shares=tuple(shares[:3]), k=Threshold(3)), bytes)
assert rebuild(shares[2:], 3) == key
assert_type(pyvelkor_core.__all__, list[str])


def one_string_as_the_shares(share: str) -> bytes:
    # The one wrong call the checkers cannot catch: a str is a Sequence[str], so this type-checks,
    # and the module rejects it when called: TypeError "argument 'shares': Can't extract `str` to
    # `Vec`". Pass [share] instead.
    return assert_type(combine_shares(share, 1), bytes)
