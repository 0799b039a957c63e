"""Soak test: calls every module function many times in this (fresh) process, interleaving
every error path, and reports resident-memory growth and the reference counts of the argument
objects before and after. Exits non-zero when memory grew by more than --max-growth bytes or a
reference count changed.

Usage: python scripts/helpers/soak.py [--rounds N] [--max-growth BYTES]

One round makes every call of the table once; the default of 500,000 rounds calls each of the
three functions at least a million times.
"""

from __future__ import annotations

import argparse
import gc
import sys
from collections.abc import Callable

import pyvelkor_core


def resident_bytes() -> int:
    """Current resident set size of this process (Linux), or 0 where it cannot be read."""
    try:
        with open("/proc/self/statm", encoding="ascii") as statm:
            return int(statm.read().split()[1]) * 4096
    except OSError:
        return 0


class RaisingIndex:
    """An integer-like object whose __index__ fails."""

    def __index__(self) -> int:
        raise ValueError("index refused")


class RaisingSequence:
    """A sequence whose iteration fails part-way."""

    def __len__(self) -> int:
        return 3

    def __getitem__(self, position: int) -> str:
        if position == 1:
            raise RuntimeError("iteration refused")
        if position >= 3:
            raise IndexError(position)
        return "1:0:0:0:0"


def build_calls() -> tuple[list[tuple[str, Callable[[], object], type[BaseException] | None]], list[object]]:
    secret = bytes(range(32))
    short_secret = secret[:31]
    shares = pyvelkor_core.split_secret(secret, 3, 5)
    malformed = ["1:0:0:0", shares[1], shares[2]]
    too_large = [shares[0], "2:" + "f" * 33 + ":0:0:0", shares[2]]
    raising_index = RaisingIndex()
    raising_sequence = RaisingSequence()
    big = 2**64
    generate_key, split, combine = (
        pyvelkor_core.generate_key,
        pyvelkor_core.split_secret,
        pyvelkor_core.combine_shares,
    )
    calls: list[tuple[str, Callable[[], object], type[BaseException] | None]] = [
        ("generate_key", generate_key, None),
        ("generate_key(1)", lambda: generate_key(1), TypeError),  # type: ignore[call-arg]
        ("split", lambda: split(secret, 3, 5), None),
        ("split keywords", lambda: split(n=5, k=3, secret=secret), None),
        ("split short secret", lambda: split(short_secret, 3, 5), ValueError),
        ("split k < 2", lambda: split(secret, 1, 5), ValueError),
        ("split n < k", lambda: split(secret, 3, 2), ValueError),
        ("split bytearray", lambda: split(bytearray(secret), 3, 5), TypeError),  # type: ignore[arg-type]
        ("split float k", lambda: split(secret, 2.0, 5), TypeError),  # type: ignore[arg-type]
        ("split negative k", lambda: split(secret, -1, 5), OverflowError),
        ("split huge n", lambda: split(secret, 2, big), OverflowError),
        ("split raising __index__", lambda: split(secret, raising_index, 5), ValueError),  # type: ignore[arg-type]
        ("split extra keyword", lambda: split(secret, 3, 5, x=1), TypeError),  # type: ignore[call-arg]
        ("split missing", lambda: split(secret), TypeError),  # type: ignore[call-arg]
        ("combine", lambda: combine(shares[:3], 3), None),
        ("combine tuple", lambda: combine(tuple(shares), 3), None),
        ("combine too few", lambda: combine(shares[:2], 3), ValueError),
        ("combine malformed", lambda: combine(malformed, 3), ValueError),
        ("combine too large", lambda: combine(too_large, 3), ValueError),
        ("combine str", lambda: combine(shares[0], 2), TypeError),
        ("combine dict", lambda: combine({}, 2), TypeError),  # type: ignore[arg-type]
        ("combine int item", lambda: combine(shares[:2] + [5], 2), TypeError),  # type: ignore[list-item]
        ("combine surrogate", lambda: combine(["\ud800"], 1), UnicodeEncodeError),
        ("combine raising sequence", lambda: combine(raising_sequence, 1), RuntimeError),  # type: ignore[arg-type]
        ("combine negative k", lambda: combine(shares, -1), OverflowError),
    ]
    tracked: list[object] = [
        secret,
        short_secret,
        shares,
        malformed,
        too_large,
        raising_index,
        raising_sequence,
        big,
        *shares,
    ]
    return calls, tracked


def soak(rounds: int) -> tuple[int, list[tuple[int, int]], dict[str, int]]:
    calls, tracked = build_calls()
    refcounts_before = [sys.getrefcount(item) for item in tracked]

    def round_of_calls() -> None:
        for name, call, expected in calls:
            try:
                call()
            except BaseException as error:  # noqa: BLE001 - PanicException must fail the soak too
                if expected is None or type(error) is not expected:
                    raise AssertionError(f"{name}: unexpected {type(error).__name__}: {error}") from error
            else:
                if expected is not None:
                    raise AssertionError(f"{name}: expected {expected.__name__}")

    warm_up = max(1, rounds // 10)
    for _ in range(warm_up):
        round_of_calls()
    gc.collect()
    start = resident_bytes()
    for _ in range(rounds):
        round_of_calls()
    gc.collect()
    growth = resident_bytes() - start
    refcounts_after = [sys.getrefcount(item) for item in tracked]
    per_function = {
        function: (rounds + warm_up) * sum(1 for name, _, _ in calls if name.startswith(prefix))
        for function, prefix in (
            ("generate_key", "generate_key"),
            ("split_secret", "split"),
            ("combine_shares", "combine"),
        )
    }
    return growth, list(zip(refcounts_before, refcounts_after, strict=True)), per_function


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=500_000, help="rounds of the whole call table")
    parser.add_argument("--max-growth", type=int, default=1 << 20, help="allowed resident growth in bytes")
    args = parser.parse_args()
    growth, refcounts, per_function = soak(args.rounds)
    changed = [pair for pair in refcounts if pair[0] != pair[1]]
    print("calls: " + ", ".join(f"{name} {count}" for name, count in per_function.items()))
    print(f"resident growth: {growth} bytes, reference counts changed: {len(changed)} of {len(refcounts)}")
    if changed:
        print(f"reference counts before/after: {refcounts}")
    if growth > args.max_growth or changed:
        print("FAILED")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
