"""Python-level benchmark of pyvelkor_core against its floors and a peer.

Every figure is a statement timed with timeit (the statement runs inline in timeit's loop, so
no extra Python call is counted): the loop count is chosen so that one repeat lasts at least
--min-time seconds, the repeat is done --repeat times and the median per-call time is
reported. In the same run it times:

  * generate_key() against os.urandom(32);
  * split_secret(s, k, n) against its randomness floor, 8·(k − 1) calls of os.getrandom(8)
    (the split asks the operating system for that many 8-byte values);
  * combine_shares(shares[:k], k) against one call of a C builtin with two arguments
    (divmod, the floor of any Python-level call);
  * pycryptodome's Crypto.Protocol.SecretSharing.Shamir, the peer: it shares 16-byte secrets,
    so one 32-byte key costs two splits and two combines.

The load average of the machine is recorded before and after the run.

Usage: python bench/bench.py [--json FILE] [--quick] [--no-peer] [--repeat N] [--min-time S]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import sys
import time
import timeit
from typing import Any

import pyvelkor_core

CASES = [(2, 3), (3, 5), (10, 20), (50, 100), (255, 255)]


def per_call(statement: str, namespace: dict[str, Any], *, repeat: int, min_time: float) -> float:
    """Median seconds per execution of `statement` in `namespace`."""
    timer = timeit.Timer(statement, globals=namespace)
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


def load_average() -> list[float] | None:
    try:
        return [round(value, 2) for value in os.getloadavg()]
    except (AttributeError, OSError):
        return None


def peer_namespace(k: int, n: int) -> dict[str, Any] | None:
    """Names for the peer's statements: the two halves of a key and their shares."""
    try:
        from Crypto.Protocol.SecretSharing import Shamir
    except ImportError:
        return None
    key = os.urandom(32)
    low, high = key[:16], key[16:]
    low_shares, high_shares = Shamir.split(k, n, low), Shamir.split(k, n, high)
    assert Shamir.combine(low_shares[:k]) + Shamir.combine(high_shares[:k]) == key
    return {
        "Shamir": Shamir,
        "k": k,
        "n": n,
        "low": low,
        "high": high,
        "low_shares": low_shares[:k],
        "high_shares": high_shares[:k],
    }


PEER_SPLIT = "Shamir.split(k, n, low); Shamir.split(k, n, high)"
PEER_COMBINE = "Shamir.combine(low_shares); Shamir.combine(high_shares)"


def run(args: argparse.Namespace) -> dict[str, Any]:
    repeat, min_time = args.repeat, args.min_time

    def timed(statement: str, namespace: dict[str, Any], slow: bool = False) -> float:
        return per_call(statement, namespace, repeat=min(repeat, 3) if slow else repeat, min_time=min_time)

    getrandom = getattr(os, "getrandom", None)
    results: dict[str, Any] = {
        "python": sys.version.split()[0],
        "platform": platform.platform(),
        "cpu": cpu_model(),
        "cpu_count": os.cpu_count(),
        "repeat": repeat,
        "min_time": min_time,
        "getrandom": getrandom is not None,
        "load_before": load_average(),
        "started": time.strftime("%Y-%m-%d %H:%M:%S"),
    }
    # os.getrandom where the platform has it, else os.urandom of the same size.
    draw = "getrandom(8)" if getrandom is not None else "urandom(8)"
    base: dict[str, Any] = {"p": pyvelkor_core, "urandom": os.urandom, "getrandom": getrandom}
    results["generate_key"] = timed("p.generate_key()", base)
    results["urandom_32"] = timed("urandom(32)", base)
    results["call_floor"] = timed("divmod(a, b)", {"a": 7, "b": 3})
    results["getrandom_8"] = timed(draw, base)

    cases = []
    secret = os.urandom(32)
    for k, n in CASES:
        if args.quick and k > 10:
            continue
        shares = pyvelkor_core.split_secret(secret, k, n)
        subset = shares[:k]
        assert pyvelkor_core.combine_shares(subset, k) == secret
        namespace = dict(base, secret=secret, k=k, n=n, subset=subset, draws=range(8 * (k - 1)))
        case: dict[str, Any] = {
            "k": k,
            "n": n,
            "split": timed("p.split_secret(secret, k, n)", namespace),
            "combine": timed("p.combine_shares(subset, k)", namespace),
            # The loop costs a few ns per draw on top of the draws themselves.
            "split_random_floor": timed(f"for _ in draws: {draw}", namespace),
        }
        peer = None if args.no_peer else peer_namespace(k, n)
        if peer is not None:
            case["peer_split"] = timed(PEER_SPLIT, peer, slow=k >= 50)
            case["peer_combine"] = timed(PEER_COMBINE, peer, slow=k >= 50)
        cases.append(case)
        print(f"  measured k={k} n={n}", file=sys.stderr)
    results["cases"] = cases
    results["load_after"] = load_average()
    return results


def format_time(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def table(results: dict[str, Any]) -> str:
    call = results["call_floor"]
    lines = [
        f"Python {results['python']} on {results['cpu']} ({results['cpu_count']} cores), "
        f"median of {results['repeat']} repeats; load average before {results['load_before']}, "
        f"after {results['load_after']}",
        "",
        "| operation | ours | reference | reference time | ours / reference |",
        "|---|---:|---|---:|---:|",
        f"| generate_key() | {format_time(results['generate_key'])} | os.urandom(32) | "
        f"{format_time(results['urandom_32'])} | {results['generate_key'] / results['urandom_32']:.2f} |",
        f"| os.getrandom(8) | {format_time(results['getrandom_8'])} | | | |",
        f"| divmod(a, b) | {format_time(call)} | | | |",
    ]
    for case in results["cases"]:
        k, n = case["k"], case["n"]
        floor = case["split_random_floor"]
        lines.append(
            f"| split_secret(s, {k}, {n}) | {format_time(case['split'])} | {8 * (k - 1)} × "
            f"os.getrandom(8) | {format_time(floor)} | {case['split'] / floor:.2f} |"
        )
        lines.append(
            f"| combine_shares(shares[:{k}], {k}) | {format_time(case['combine'])} | divmod(a, b) | "
            f"{format_time(call)} | {case['combine'] / call:.1f} |"
        )
    if any("peer_split" in case for case in results["cases"]):
        lines += [
            "",
            "One 32-byte key, split and combined (pycryptodome: two 16-byte halves):",
            "",
            "| (k, n) | ours split | ours combine | pycryptodome split | pycryptodome combine "
            "| pycryptodome / ours |",
            "|---|---:|---:|---:|---:|---:|",
        ]
        for case in results["cases"]:
            if "peer_split" not in case:
                continue
            ours = case["split"] + case["combine"]
            theirs = case["peer_split"] + case["peer_combine"]
            lines.append(
                f"| ({case['k']}, {case['n']}) | {format_time(case['split'])} | "
                f"{format_time(case['combine'])} | {format_time(case['peer_split'])} | "
                f"{format_time(case['peer_combine'])} | {theirs / ours:.0f}× |"
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
            output.write("\n")


if __name__ == "__main__":
    main()
