"""Instructions per call of pyvelkor_core's functions, counted by callgrind.

A count does not move with the load of the machine or with the processor's clock, so it is the
figure to compare between two builds, or between runs on shared machines, where a time moves by
tens of percent from run to run. For each case the same program runs twice under
`valgrind --tool=callgrind`: once with 0 calls in its loop and once with --calls calls, each time
after one call outside the loop (the first call of a process does one-time work). The difference
of the two totals divided by the number of calls is the count per call; it holds one iteration
of the Python loop (a few dozen instructions of the interpreter) besides the call itself.

The stack scrub every entry point ends with (core::scrub_stack: the stack below the call wiped,
the registers cleared) is counted in, and its part is given beside the total: the inclusive cost
of scrub_stack per call, from callgrind_annotate. Most of it is the C library's wipe of 4 to 16
KiB, and what that costs under valgrind is not what it costs natively: valgrind's processor model
makes glibc pick its AVX2 memset, whose `rep stosb` for large sizes callgrind counts once per
byte, where the processor stores tens of bytes per cycle. Under valgrind, too, the random draws
go to the getrandom() system call (the vDSO function is not taken), so their part holds that
path's instructions in user space.

With --functions, the self cost per call of the functions that account for most of it is listed
too (the difference of callgrind_annotate's figures between the two runs).

Usage: python bench/count_instructions.py [--calls N] [--json FILE] [--functions] [CASE ...]
       python bench/count_instructions.py --run CASE CALLS   (the program valgrind runs)
A CASE is a name from CASES (split-2-3, combine-2, ...); without any, all of them are counted.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

# name: (label, statement). As in bench/bench.py, a combine is given a list of its k shares made
# beforehand: `shares2` holds 2 of the 3 shares of a split with threshold 2, `shares10` 10 of the
# 20 shares of a split with threshold 10; `s` is a 32-byte secret.
CASES = {
    "split-2-3": ("split_secret(s, 2, 3)", "split_secret(s, 2, 3)"),
    "combine-2": ("combine_shares(two shares, 2)", "combine_shares(shares2, 2)"),
    "split-3-5": ("split_secret(s, 3, 5)", "split_secret(s, 3, 5)"),
    "split-5-10": ("split_secret(s, 5, 10)", "split_secret(s, 5, 10)"),
    "split-10-20": ("split_secret(s, 10, 20)", "split_secret(s, 10, 20)"),
    "combine-10": ("combine_shares(ten shares, 10)", "combine_shares(shares10, 10)"),
    "generate-key": ("generate_key()", "generate_key()"),
}

TOTAL = re.compile(r"^(?:summary|totals):\s+(\d+)", re.MULTILINE)
ANNOTATED = re.compile(r"^\s*([\d,]+)(?:\s+\([^)]*\))?\s+(\S.*?)\s*$")


def run_case(name: str, calls: int) -> None:
    """The measured program: set up, one call, then `calls` calls in a loop."""
    from pyvelkor_core import combine_shares, generate_key, split_secret

    s = bytes(range(32))
    shares2 = split_secret(s, 2, 3)[:2]
    shares10 = split_secret(s, 10, 20)[:10]
    namespace = {
        "s": s,
        "shares2": shares2,
        "shares10": shares10,
        "split_secret": split_secret,
        "combine_shares": combine_shares,
        "generate_key": generate_key,
    }
    statement = CASES[name][1]
    loop = compile(f"for _ in range(calls):\n    {statement}\n", "<loop>", "exec")
    namespace["calls"] = 1
    exec(loop, namespace)
    namespace["calls"] = calls
    exec(loop, namespace)


def callgrind(name: str, calls: int, out: str) -> int:
    env = dict(os.environ, PYTHONHASHSEED="0")
    command = [
        "valgrind",
        "--tool=callgrind",
        f"--callgrind-out-file={out}",
        "--dump-instr=no",
        sys.executable,
        os.path.abspath(__file__),
        "--run",
        name,
        str(calls),
    ]
    subprocess.run(command, check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(out, encoding="utf-8") as profile:
        return int(TOTAL.findall(profile.read())[-1])


def annotated(out: str, *, inclusive: bool) -> list[tuple[int, str]]:
    """(cost, file:function) for every line of callgrind_annotate's function list."""
    text = subprocess.run(
        ["callgrind_annotate", f"--inclusive={'yes' if inclusive else 'no'}", "--threshold=100", out],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    rows = []
    for line in text.splitlines():
        match = ANNOTATED.match(line)
        if match:
            rows.append((int(match.group(1).replace(",", "")), match.group(2)))
    return rows


def self_costs(out: str) -> dict[str, int]:
    costs: dict[str, int] = {}
    for cost, where in annotated(out, inclusive=False):
        if ":" in where:
            function = where.split(":", 1)[1].split(" [")[0]
            costs[function] = costs.get(function, 0) + cost
    return costs


def scrub_cost(out: str) -> int:
    """Inclusive cost of the stack scrub (every depth of scrub_stack) in the profile."""
    return sum(cost for cost, where in annotated(out, inclusive=True) if "velkor::core::scrub_stack<" in where)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--run", nargs=2, metavar=("CASE", "CALLS"), help=argparse.SUPPRESS)
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--json", help="write the counts to this file")
    parser.add_argument("--functions", action="store_true", help="list the self cost per call of the main functions")
    parser.add_argument("cases", nargs="*", choices=[[], *CASES], metavar="CASE")
    args = parser.parse_args()
    if args.run:
        run_case(args.run[0], int(args.run[1]))
        return
    results = []
    with tempfile.TemporaryDirectory() as tmp:
        for name in args.cases or list(CASES):
            label = CASES[name][0]
            empty, full = os.path.join(tmp, f"{name}.0"), os.path.join(tmp, f"{name}.n")
            base = callgrind(name, 0, empty)
            total = callgrind(name, args.calls, full)
            per_call = round((total - base) / args.calls)
            scrub = round((scrub_cost(full) - scrub_cost(empty)) / args.calls)
            results.append(
                {
                    "case": name,
                    "call": label,
                    "instructions_per_call": per_call,
                    "stack_scrub_per_call": scrub,
                }
            )
            print(f"{label:34} {per_call:>10,}   scrub {scrub:>7,}   without {per_call - scrub:>7,}", flush=True)
            if args.functions:
                before, after = self_costs(empty), self_costs(full)
                rows = sorted(((after[f] - before.get(f, 0)) / args.calls, f) for f in after)
                for cost, function in reversed(rows):
                    if cost < 20:
                        break
                    print(f"    {cost:>8,.0f}  {function}")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump({"calls": args.calls, "python": sys.version.split()[0], "counts": results}, out, indent=2)
            out.write("\n")


if __name__ == "__main__":
    main()
