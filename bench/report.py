"""Writes docs/benchmarks.md and docs/benchmarks.png from the benchmark runs.

Inputs: the JSON output of the core micro-benchmarks (Google Benchmark, bench_core.cpp), the
JSON of bench/bench.py and, with --counts, the JSON of bench/count_instructions.py. The core
figures are processor time per call of the fastest repetition, as the summary of bench_core
prints them; the Python figures are medians; the counts are instructions per call. A copy of the
core JSON with only what the page needs (no host name or program path) is written next to the
page when --core-out is given.

Usage: python bench/report.py --core RAW.json --python PY.json [--counts COUNTS.json]
       [--core-out docs/bench-core.json] [--markdown docs/benchmarks.md] [--plot docs/benchmarks.png]
"""

from __future__ import annotations

import argparse
import json
from typing import Any

COMMAND = "scripts/bench.sh"


def core_times(raw: dict[str, Any], statistic: str = "fastest") -> dict[str, float]:
    """Nanoseconds of processor time per call by benchmark name: of the fastest repetition, or
    the median over the repetitions (statistic "median")."""
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
    times: dict[str, float] = {}
    for run in raw["benchmarks"]:
        if run.get("error_occurred"):
            continue
        if statistic == "median":
            if run.get("run_type") != "aggregate" or run.get("aggregate_name") != "median":
                continue
        elif run.get("run_type") != "iteration":
            continue
        ns = run["cpu_time"] * scale[run["time_unit"]] / run.get("calls", 1.0)
        name = run["run_name"]
        times[name] = min(ns, times.get(name, ns))
    return times


def clean_core(raw: dict[str, Any]) -> dict[str, Any]:
    context = raw["context"]
    keep = ("date", "num_cpus", "mhz_per_cpu", "cpu_scaling_enabled", "caches", "load_avg")
    return {
        "context": {key: context[key] for key in keep if key in context},
        "unit": "ns of processor time per call",
        "fastest": core_times(raw),
        "median": core_times(raw, "median"),
    }


def format_ns(ns: float) -> str:
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def core_table(times: dict[str, float]) -> list[str]:
    lines = [
        "| Benchmark | Core | Literal algorithm | Literal / core |",
        "|---|---:|---:|---:|",
    ]
    order = ["MulMod", "InvMod"] + [f"Combine/{k}" for k in (2, 3, 10, 50, 255)]
    order += [f"Split/{k}/{n}" for k, n in ((2, 3), (3, 5), (10, 20), (255, 255))] + ["RandomU64"]
    order += [f"{path}/{size}" for path in ("GetrandomSyscall", "VdsoGetrandom") for size in (8, 32)]
    for name in order:
        if name not in times:
            continue
        base, _, args = name.partition("/")
        reference = times.get(base + "Reference" + ("/" + args if args else ""))
        if reference is None:
            lines.append(f"| `{name}` | {format_ns(times[name])} | — | — |")
        else:
            lines.append(
                f"| `{name}` | {format_ns(times[name])} | {format_ns(reference)} | {reference / times[name]:,.0f} |"
            )
    return lines


def cpu(target: dict[str, Any], key: str) -> float:
    """Processor-time median of a Python figure, in ns (the wall median if none was taken)."""
    return target.get(key + "_cpu", target[key]) * 1e9


def both(target: dict[str, Any], key: str) -> str:
    return f"{format_ns(target[key] * 1e9)} ({format_ns(cpu(target, key))})"


def python_table(py: dict[str, Any]) -> list[str]:
    lines = [
        "| Operation | Ours | Reference | Reference time | Ours / reference |",
        "|---|---:|---|---:|---:|",
        f"| `generate_key()` | {both(py, 'generate_key')} | `os.urandom(32)` | "
        f"{both(py, 'urandom_32')} | {cpu(py, 'generate_key') / cpu(py, 'urandom_32'):.2f} |",
        f"| `os.getrandom(8)` | {both(py, 'getrandom_8')} | | | |",
        f"| `divmod(a, b)` | {both(py, 'call_floor')} | | | |",
    ]
    for case in py["cases"]:
        k, n = case["k"], case["n"]
        lines.append(
            f"| `split_secret(s, {k}, {n})` | {both(case, 'split')} | {8 * (k - 1)} × `os.getrandom(8)` | "
            f"{both(case, 'split_random_floor')} | {cpu(case, 'split') / cpu(case, 'split_random_floor'):.2f} |"
        )
        lines.append(
            f"| `combine_shares(shares[:{k}], {k})` | {both(case, 'combine')} | `divmod(a, b)` | "
            f"{both(py, 'call_floor')} | {cpu(case, 'combine') / cpu(py, 'call_floor'):.1f} |"
        )
    return lines


def randomness_table(times: dict[str, float], py: dict[str, Any]) -> list[str]:
    """The randomness floors of split_secret(s, 2, 3) (eight 8-byte requests) and generate_key()
    (one 32-byte request): through the getrandom system call, the path before the vDSO one,
    and through the vDSO getrandom (core run), beside the Python calls and their Python floors
    (Python run)."""
    if not all(f"{path}/{size}" in times for path in ("GetrandomSyscall", "VdsoGetrandom") for size in (8, 32)):
        return []
    cases = {(case["k"], case["n"]): case for case in py["cases"]}
    split = cases.get((2, 3))
    lines = [
        "| | `split_secret(s, 2, 3)`: 8 requests of 8 bytes | `generate_key()`: 1 request of 32 bytes |",
        "|---|---:|---:|",
        f"| floor before: `getrandom` system call (core) | 8 × {format_ns(times['GetrandomSyscall/8'])} = "
        f"{format_ns(8 * times['GetrandomSyscall/8'])} | {format_ns(times['GetrandomSyscall/32'])} |",
        f"| floor now: vDSO `getrandom` (core) | 8 × {format_ns(times['VdsoGetrandom/8'])} = "
        f"{format_ns(8 * times['VdsoGetrandom/8'])} | {format_ns(times['VdsoGetrandom/32'])} |",
    ]
    if split is not None:
        lines += [
            f"| the call from Python | {both(split, 'split')} | {both(py, 'generate_key')} |",
            f"| Python's own: `8 × os.getrandom(8)`, `os.urandom(32)` | {both(split, 'split_random_floor')} | "
            f"{both(py, 'urandom_32')} |",
            f"| call / Python's own | {cpu(split, 'split') / cpu(split, 'split_random_floor'):.2f} | "
            f"{cpu(py, 'generate_key') / cpu(py, 'urandom_32'):.2f} |",
        ]
    return lines


def peer_table(py: dict[str, Any]) -> list[str]:
    lines = [
        "| (k, n) | Ours: split | Ours: combine | pycryptodome: split | pycryptodome: combine | pycryptodome / ours |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for case in py["cases"]:
        if "peer_split" not in case:
            continue
        ours = cpu(case, "split") + cpu(case, "combine")
        theirs = cpu(case, "peer_split") + cpu(case, "peer_combine")
        lines.append(
            f"| ({case['k']}, {case['n']}) | {both(case, 'split')} | {both(case, 'combine')} | "
            f"{both(case, 'peer_split')} | {both(case, 'peer_combine')} | {theirs / ours:,.0f}× |"
        )
    return lines


def targets(times: dict[str, float], medians: dict[str, float], py: dict[str, Any]) -> list[tuple[str, str, bool]]:
    """(goal, measured, met) for every performance goal that both runs cover. Core against
    core: fastest repetitions; Python against core: medians on both sides."""
    rows: list[tuple[str, str, bool]] = []

    def ratio(name: str) -> float | None:
        base, _, args = name.partition("/")
        reference = times.get(f"{base}Reference/{args}")
        return None if reference is None or name not in times else reference / times[name]

    for name, goal in (("Combine/10", 5000), ("Combine/255", 5000), ("Split/10/20", 25)):
        value = ratio(name)
        if value is not None:
            rows.append((f"`{name}`: literal / core ≥ {goal:,}", f"{value:,.0f}", value >= goal))
    if "Combine/2" in times and "InvMod" in times:
        value = times["Combine/2"] / times["InvMod"]
        rows.append(("`Combine/2` ≤ 1.5 × `InvMod`", f"{value:.2f} ×", value <= 1.5))
    cases = {(case["k"], case["n"]): case for case in py["cases"]}
    if (2, 3) in cases and "Combine/2" in medians:
        part = cpu(cases[(2, 3)], "combine") - medians["Combine/2"]
        rows.append(("`combine_shares`, k = 2: Python part < 400 ns", format_ns(part), part < 400))
    if (255, 255) in cases and "Combine/255" in medians:
        value = cpu(cases[(255, 255)], "combine") / medians["Combine/255"]
        rows.append(("`combine_shares`, k = 255: ≤ 1.2 × core combine", f"{value:.2f} ×", value <= 1.2))
    if (2, 3) in cases:
        value = cpu(cases[(2, 3)], "split") / cpu(cases[(2, 3)], "split_random_floor")
        rows.append(("`split_secret(s, 2, 3)` ≤ 0.35 × 8 `os.getrandom(8)`", f"{value:.2f} ×", value <= 0.35))
    if (255, 255) in cases and "Split/255/255" in medians:
        case = cases[(255, 255)]
        floor = cpu(case, "split_random_floor") + medians["Split/255/255"]
        value = cpu(case, "split") / floor
        rows.append(
            ("`split_secret(s, 255, 255)` ≤ 1.3 × (randomness floor + core split)", f"{value:.2f} ×", value <= 1.3)
        )
    value = cpu(py, "generate_key") / cpu(py, "urandom_32")
    rows.append(("`generate_key()` ≤ 0.6 × `os.urandom(32)`", f"{value:.2f} ×", value <= 0.6))
    for (k, n), goal in (((2, 3), 200), ((3, 5), 200), ((10, 20), 300), ((255, 255), 1000)):
        case = cases.get((k, n))
        if case is None or "peer_split" not in case:
            continue
        ours = cpu(case, "split") + cpu(case, "combine")
        value = (cpu(case, "peer_split") + cpu(case, "peer_combine")) / ours
        rows.append((f"pycryptodome / ours, ({k}, {n}) ≥ {goal:,}×", f"{value:,.0f}×", value >= goal))
    return rows


def plot(py: dict[str, Any], times: dict[str, float], path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    cases = py["cases"]
    ks = [case["k"] for case in cases]
    figure, axis = plt.subplots(figsize=(7, 4.5), dpi=120)
    series = [
        ("split", "pyvelkor_core split_secret", "tab:blue", "o-"),
        ("combine", "pyvelkor_core combine_shares", "tab:blue", "s--"),
        ("peer_split", "pycryptodome split (two halves)", "tab:red", "o-"),
        ("peer_combine", "pycryptodome combine (two halves)", "tab:red", "s--"),
    ]
    for key, label, colour, style in series:
        points = [(case["k"], cpu(case, key) / 1e3) for case in cases if key in case]
        if points:
            axis.plot([p[0] for p in points], [p[1] for p in points], style, color=colour, label=label)
    floors = [(case["k"], cpu(case, "split_random_floor") / 1e3) for case in cases]
    axis.plot([p[0] for p in floors], [p[1] for p in floors], ":", color="grey", label="8·(k − 1) × os.getrandom(8)")
    if "VdsoGetrandom/8" in times:
        vdso = [(case["k"], 8 * (case["k"] - 1) * times["VdsoGetrandom/8"] / 1e3) for case in cases]
        axis.plot(
            [p[0] for p in vdso], [p[1] for p in vdso], "-.", color="grey", label="8·(k − 1) × vDSO getrandom (core)"
        )
    axis.set_xscale("log")
    axis.set_yscale("log")
    axis.set_xticks(ks)
    axis.set_xticklabels([f"{case['k']}\n(n={case['n']})" for case in cases])
    axis.set_xlabel("threshold k")
    axis.set_ylabel("processor time per 32-byte key (µs, median)")
    axis.set_title("Split and combine of one 256-bit key from Python")
    axis.grid(True, which="both", alpha=0.3)
    axis.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(path)


def scrub_text(row: dict[str, Any]) -> str:
    return f"{row['stack_scrub_per_call']:,}" if "stack_scrub_per_call" in row else "—"


def rest_text(row: dict[str, Any]) -> str:
    if "stack_scrub_per_call" not in row:
        return "—"
    return f"{row['instructions_per_call'] - row['stack_scrub_per_call']:,}"


# The most instructions per call each case may take, without the stack scrub: a third fewer for
# the small calls than before the work on the counts, 0.85 of that for the larger ones, and
# generate_key() no more than it took then (CPython 3.13, GCC 12, the release build).
COUNT_CEILINGS = {
    "split_secret(s, 2, 3)": 6_000,
    "combine_shares(two shares, 2)": 5_000,
    "split_secret(s, 3, 5)": 10_000,
    "split_secret(s, 5, 10)": 22_412,
    "split_secret(s, 10, 20)": 58_383,
    "combine_shares(ten shares, 10)": 20_714,
    "generate_key()": 1_299,
}


def ceiling_text(row: dict[str, Any]) -> str:
    ceiling = COUNT_CEILINGS.get(row["call"])
    if ceiling is None or "stack_scrub_per_call" not in row:
        return "—"
    met = row["instructions_per_call"] - row["stack_scrub_per_call"] <= ceiling
    return f"{ceiling:,} ({'met' if met else 'missed'})"


def counts_section(counts: dict[str, Any] | None) -> list[str]:
    if counts is None:
        return []
    return [
        "## Instructions per call (callgrind)",
        "",
        "These figures are counts, not times: the instructions one call executes, counted by "
        "valgrind's callgrind on the release build of the module (`scripts/count-instructions.sh`). "
        "Each case runs twice, with 0 and with "
        f"{counts['calls']:,} calls in a Python loop after one call outside it, and the difference "
        "of the two totals divided by the number of calls is given; one iteration of the loop "
        "stays in. A count does not move with the load of the machine, its clock or the other "
        "jobs on it, where the times above move by tens of percent from run to run on a shared "
        "machine: compare counts between builds and between machines (with the same interpreter "
        "version and compiler), and times only within one run. A count does not weigh what an "
        "instruction costs: a system call or a cache miss counts little and takes long. Every "
        "count includes the stack scrub each call ends with (the stack below the call wiped, "
        "the registers cleared; `core::scrub_stack`, counted with its callees), and the columns "
        "beside it give that part and the rest. The scrub writes its region with 32-byte AVX "
        "stores where AVX is enabled (without AVX it calls the C library's wipe, whose `rep stosb` "
        "callgrind counts once per byte: then the scrub's part is about its depth in bytes). "
        "Under valgrind the random draws take the "
        "`getrandom` system call, not the vDSO function, so their part holds that path's "
        f"instructions in user space. Python {counts['python']}. The ceiling is the most a call "
        "may take without the scrub, the part the counts are held to from build to build (the "
        "scrub's part follows from its fixed depth).",
        "",
        "| Call | Instructions per call | Of which the stack scrub | Without the scrub | Ceiling |",
        "|---|---:|---:|---:|---:|",
        *[
            f"| `{row['call']}` | {row['instructions_per_call']:,} | {scrub_text(row)} | {rest_text(row)} "
            f"| {ceiling_text(row)} |"
            for row in counts["counts"]
        ],
        "",
    ]


def markdown(
    times: dict[str, float],
    medians: dict[str, float],
    core_raw: dict[str, Any],
    py: dict[str, Any],
    counts: dict[str, Any] | None = None,
) -> str:
    load = core_raw["context"].get("load_avg")
    core_load = ", ".join(f"{value:.2f}" for value in load) if load else "not recorded"
    goal_rows = targets(times, medians, py)
    lines = [
        "# Benchmarks",
        "",
        f"Regenerate this page, the plot and the JSON files with one command: `{COMMAND}`.",
        "",
        f"Machine: {py['cpu']}, {py['cpu_count']} cores; {py['platform']}; Python {py['python']}. "
        f"Run started {py['started']}. The machine was shared with other jobs: load average "
        f"(1, 5, 15 min) {core_load} during the core run, {py['load_before']} before and "
        f"{py['load_after']} after the Python run.",
        "",
        "![Split and combine time against k](benchmarks.png)",
        "",
        "## Core (C++, Google Benchmark)",
        "",
        "Processor time per call of the fastest of 5 repetitions. The literal algorithm runs in the",
        "same program: double-and-add multiplication with a general 128-bit remainder,",
        "square-and-multiply inversion, and Lagrange interpolation term by term with one inversion",
        "per share and word (4·k inversions per combine); see `bench/README.md`. Split and combine",
        "draw their coefficients from a cheap fixed generator here, so the operating system's",
        "generator is left out (`RandomU64` is one 8-byte request to it through `fill_random`;",
        "`GetrandomSyscall/size` and `VdsoGetrandom/size` are one request of that many bytes",
        "through the `getrandom` system call and through the vDSO `getrandom`).",
        "",
        *core_table(times),
        "",
        "## Python (timeit, median of repeats)",
        "",
        f"Each statement runs inline in timeit's loop, {py['repeat']} repeats of at least "
        f"{py['min_time']} s (3 repeats for pycryptodome at k ≥ 50). Every time is the median "
        "wall time, with the median processor time of the process (user and system, measured "
        "around the same repeats) in brackets. The machine is shared, so the wall time also "
        "counts waiting for a core; the ratios here and the goals below use processor time, as "
        "the core figures do.",
        "",
        *python_table(py),
        "",
        *counts_section(counts),
        "## Randomness",
        "",
        "On Linux every request goes to the kernel's generator through the vDSO `getrandom` when "
        "the kernel exports it (6.11 and later) and the C library does not already do so itself; "
        "before, each request was a `getrandom` system call. Core figures: processor time of the "
        "fastest repetition; Python figures as above, from the Python run.",
        "",
        *randomness_table(times, py),
        "",
        "## Against pycryptodome",
        "",
        "`Crypto.Protocol.SecretSharing.Shamir` shares 16-byte secrets, so one 32-byte key is two",
        "splits and two combines there; ours is one call each.",
        "",
        *peer_table(py),
        "",
        "## Goals",
        "",
        "Core against the literal algorithm: processor time of the fastest repetition on both "
        "sides. Python against the core: median processor time on both sides (the Python part "
        "of `combine_shares` is its median minus the median of `Combine/k`). Python against "
        "Python: median processor time.",
        "",
        "| Goal | Measured | Met |",
        "|---|---:|---|",
        *[f"| {goal} | {value} | {'yes' if met else 'no'} |" for goal, value, met in goal_rows],
        "",
    ]
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--core", required=True, help="Google Benchmark JSON of bench_core")
    parser.add_argument("--python", required=True, help="JSON of bench/bench.py")
    parser.add_argument("--counts", help="JSON of bench/count_instructions.py")
    parser.add_argument("--core-out", help="write the cleaned core figures here")
    parser.add_argument("--markdown", help="write the page here")
    parser.add_argument("--plot", help="write the plot here (PNG)")
    args = parser.parse_args()
    with open(args.core, encoding="utf-8") as source:
        core_raw = json.load(source)
    with open(args.python, encoding="utf-8") as source:
        py = json.load(source)
    counts = None
    if args.counts:
        with open(args.counts, encoding="utf-8") as source:
            counts = json.load(source)
    times = core_times(core_raw)
    medians = core_times(core_raw, "median")
    if args.core_out:
        with open(args.core_out, "w", encoding="utf-8") as output:
            json.dump(clean_core(core_raw), output, indent=2)
            output.write("\n")
    page = markdown(times, medians, core_raw, py, counts)
    if args.markdown:
        with open(args.markdown, "w", encoding="utf-8") as output:
            output.write(page)
    else:
        print(page)
    if args.plot:
        plot(py, times, args.plot)
    for goal, value, met in targets(times, medians, py):
        print(f"{'met   ' if met else 'MISSED'} {goal}: {value}")
    for row in counts["counts"] if counts else []:
        text = ceiling_text(row)
        if text != "—":
            verdict = "MISSED" if "missed" in text else "met   "
            ceiling = text.split()[0]
            print(f"{verdict} `{row['call']}` without the scrub: {rest_text(row)} of {ceiling}")


if __name__ == "__main__":
    main()
