"""Python-level benchmark of pyvelkor_core against its floors and a peer.

Every figure is a statement timed with timeit (the statement runs inline in timeit's loop, so
no extra Python call is counted): the loop count is chosen so that one repeat lasts at least
--min-time seconds, the repeat is done --repeat times and the median per-call time is
reported, in wall time and in processor time of the process (user and system, measured around
the same repeats; on a shared machine the wall time also counts the time spent waiting for a
core). In the same run it times:

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


def per_call(statement: str, namespace: dict[str, Any], *, repeat: int, min_time: float) -> tuple[float, float]:
    """Median seconds per execution of `statement` in `namespace`: wall time and processor time
    of this process (user and system), both taken around the same repeats."""
    timer = timeit.Timer(statement, globals=namespace)
    loops, elapsed = timer.autorange()
    loops = max(1, int(loops * min_time / max(elapsed, 1e-9)))
    wall, cpu = [], []
    for _ in range(repeat):
        wall_start, cpu_start = time.perf_counter(), time.process_time()
        timer.timeit(loops)
        wall.append(time.perf_counter() - wall_start)
        cpu.append(time.process_time() - cpu_start)
    return statistics.median(wall) / loops, statistics.median(cpu) / loops


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
        """Stores the processor-time median under `key`_cpu; returns the wall-time median."""
        wall, cpu = per_call(statement, namespace, repeat=min(repeat, 3) if slow else repeat, min_time=min_time)
        timed.cpu = cpu  # type: ignore[attr-defined]
        return wall

    def record(target: dict[str, Any], key: str, statement: str, namespace: dict[str, Any], slow: bool = False) -> None:
        target[key] = timed(statement, namespace, slow)
        target[key + "_cpu"] = timed.cpu  # type: ignore[attr-defined]

    getrandom = getattr(os, "getrandom", None)
    results: dict[str, Any] = {
        "python": sys.version.split()[0],
        "platform": " ".join(filter(None, (platform.system(), platform.machine(), " ".join(platform.libc_ver())))),
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
    record(results, "generate_key", "p.generate_key()", base)
    record(results, "urandom_32", "urandom(32)", base)
    record(results, "call_floor", "divmod(a, b)", {"a": 7, "b": 3})
    record(results, "getrandom_8", draw, base)

    cases = []
    secret = os.urandom(32)
    for k, n in CASES:
        if args.quick and k > 10:
            continue
        shares = pyvelkor_core.split_secret(secret, k, n)
        subset = shares[:k]
        assert pyvelkor_core.combine_shares(subset, k) == secret
        namespace = dict(base, secret=secret, k=k, n=n, subset=subset, draws=range(8 * (k - 1)))
        case: dict[str, Any] = {"k": k, "n": n}
        record(case, "split", "p.split_secret(secret, k, n)", namespace)
        record(case, "combine", "p.combine_shares(subset, k)", namespace)
        # The loop costs a few ns per draw on top of the draws themselves.
        record(case, "split_random_floor", f"for _ in draws: {draw}", namespace)
        peer = None if args.no_peer else peer_namespace(k, n)
        if peer is not None:
            record(case, "peer_split", PEER_SPLIT, peer, slow=k >= 50)
            record(case, "peer_combine", PEER_COMBINE, peer, slow=k >= 50)
        cases.append(case)
        print(f"  measured k={k} n={n}", file=sys.stderr)
    results["cases"] = cases
    results["load_after"] = load_average()
    return results


def table(results: dict[str, Any]) -> str:
    """The tables of docs/benchmarks.md for this run: wall-time medians with the processor-time
    medians in brackets, ratios of the latter."""
    from report import peer_table, python_table  # bench/report.py, beside this file

    lines = [
        f"Python {results['python']} on {results['cpu']} ({results['cpu_count']} cores), "
        f"median of {results['repeat']} repeats; load average before "
        f"{results['load_before']}, after {results['load_after']}",
        "",
        *python_table(results),
    ]
    if any("peer_split" in case for case in results["cases"]):
        lines += ["", "One 32-byte key, split and combined (pycryptodome: two 16-byte halves):", ""]
        lines += peer_table(results)
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
