"""Python-level benchmark of pyvelkor_core against its floors and a peer.

For every figure the statement is timed with timeit: the loop count is chosen so that one
repeat lasts at least --min-time seconds, the repeat is done --repeat times and the median
per-call time is reported. In the same run it times:

  * generate_key() against os.urandom(32);
  * split_secret(s, k, n) against its randomness floor, 8·(k − 1) calls of os.getrandom(8)
    (the split asks the operating system for that many 8-byte values);
  * combine_shares(shares[:k], k) against one call of a C builtin with two arguments
    (divmod, the floor of any Python-level call);
  * pycryptodome's Crypto.Protocol.SecretSharing.Shamir, the peer: it shares 16-byte secrets,
    so one 32-byte key costs two splits and two combines.

Usage: python bench/bench.py [--json FILE] [--quick] [--no-peer]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import sys
import timeit
from collections.abc import Callable
from typing import Any

import pyvelkor_core

CASES = [(2, 3), (3, 5), (10, 20), (50, 100), (255, 255)]


def per_call(function: Callable[[], object], *, repeat: int, min_time: float) -> float:
    """Median seconds per call of `function`."""
    timer = timeit.Timer(function)
    loops, elapsed = timer.autorange()
    loops = max(1, int(loops * min_time / max(elapsed, 1e-9)))
    runs = timer.repeat(repeat=repeat, number=loops)
    return statistics.median(runs) / loops


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def peer_functions(k: int, n: int) -> tuple[Callable[[], object], Callable[[], object]] | None:
    try:
        from Crypto.Protocol.SecretSharing import Shamir
    except ImportError:
        return None
    key = os.urandom(32)
    halves = (key[:16], key[16:])
    shares = [Shamir.split(k, n, half) for half in halves]

    def split() -> object:
        return [Shamir.split(k, n, half) for half in halves]

    def combine() -> object:
        return [Shamir.combine(half_shares[:k]) for half_shares in shares]

    assert b"".join(Shamir.combine(s[:k]) for s in shares) == key
    return split, combine


def run(args: argparse.Namespace) -> dict[str, Any]:
    repeat, min_time = args.repeat, args.min_time
    timed = lambda function: per_call(function, repeat=repeat, min_time=min_time)  # noqa: E731
    results: dict[str, Any] = {
        "python": sys.version.split()[0],
        "platform": platform.platform(),
        "cpu": cpu_model(),
        "repeat": repeat,
        "min_time": min_time,
    }
    getrandom = getattr(os, "getrandom", None) or (lambda size: os.urandom(size))
    results["generate_key"] = timed(pyvelkor_core.generate_key)
    results["urandom_32"] = timed(lambda: os.urandom(32))
    results["call_floor"] = timed(lambda: divmod(7, 3))
    results["getrandom_8"] = timed(lambda: getrandom(8))
    cases = []
    secret = os.urandom(32)
    for k, n in CASES:
        if args.quick and k > 10:
            continue
        shares = pyvelkor_core.split_secret(secret, k, n)
        subset = shares[:k]
        assert pyvelkor_core.combine_shares(subset, k) == secret
        draws = 8 * (k - 1)

        def floor(draws: int = draws) -> None:
            for _ in range(draws):
                getrandom(8)

        case: dict[str, Any] = {
            "k": k,
            "n": n,
            "split": timed(lambda: pyvelkor_core.split_secret(secret, k, n)),
            "combine": timed(lambda: pyvelkor_core.combine_shares(subset, k)),
            "split_random_floor": timed(floor),
        }
        peer = None if args.no_peer else peer_functions(k, n)
        if peer is not None:
            slow = k >= 50
            peer_timed = lambda f: per_call(f, repeat=3 if slow else repeat, min_time=min_time)  # noqa: E731
            case["peer_split"] = peer_timed(peer[0])
            case["peer_combine"] = peer_timed(peer[1])
        cases.append(case)
        print(f"  measured k={k} n={n}", file=sys.stderr)
    results["cases"] = cases
    return results


def format_time(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def table(results: dict[str, Any]) -> str:
    lines = [
        f"Python {results['python']} on {results['cpu']} (median of {results['repeat']} repeats)",
        "",
        "| figure | time | reference | ratio |",
        "|---|---|---|---|",
        f"| generate_key() | {format_time(results['generate_key'])} | os.urandom(32) "
        f"{format_time(results['urandom_32'])} | {results['generate_key'] / results['urandom_32']:.2f}× |",
        f"| C builtin call, 2 arguments | {format_time(results['call_floor'])} | | |",
        f"| os.getrandom(8) | {format_time(results['getrandom_8'])} | | |",
    ]
    for case in results["cases"]:
        k, n = case["k"], case["n"]
        lines.append(
            f"| split_secret(s, {k}, {n}) | {format_time(case['split'])} | 8·(k−1) = {8 * (k - 1)} × "
            f"os.getrandom(8) {format_time(case['split_random_floor'])} | "
            f"{case['split'] / case['split_random_floor']:.2f}× |"
        )
        lines.append(
            f"| combine_shares(shares[:{k}], {k}) | {format_time(case['combine'])} | C builtin call "
            f"{format_time(results['call_floor'])} | {case['combine'] / results['call_floor']:.1f}× |"
        )
        if "peer_split" in case:
            ours = case["split"] + case["combine"]
            theirs = case["peer_split"] + case["peer_combine"]
            lines.append(
                f"| pycryptodome split + combine of a 32-byte key, ({k}, {n}) | {format_time(theirs)} | "
                f"ours {format_time(ours)} | {theirs / ours:.0f}× faster |"
            )
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", help="also write the results as JSON to this file")
    parser.add_argument("--repeat", type=int, default=7, help="repeats per figure (median reported)")
    parser.add_argument("--min-time", type=float, default=0.2, help="seconds per repeat at least")
    parser.add_argument("--quick", action="store_true", help="only k <= 10, for a fast look")
    parser.add_argument("--no-peer", action="store_true", help="skip pycryptodome")
    args = parser.parse_args()
    results = run(args)
    print(table(results))
    if args.json:
        with open(args.json, "w", encoding="utf-8") as output:
            json.dump(results, output, indent=2)


if __name__ == "__main__":
    main()
