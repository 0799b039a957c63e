#!/usr/bin/env bash
# Checks in the machine code of the optimised module that the wiping of secrets survived the
# optimiser: secure_wipe must end in the C library's explicit_bzero, and the code of
# generate_key, of splitting (the wiping allocator of the coefficients and of the share texts),
# of combining (the parsed values, the rebuilt secret's destructor, the messages) and the
# destructor of an error result (its message may quote a share text) must call it. A wipe that
# is a plain memset of a buffer about to die would be removed by the compiler, and this fails.
# It also fails on any operand of xmm16-31 or ymm16-31, whose encodings need AVX-512VL.
#
# The module is built like the wheel (Release) into its own build directory; the installed wheel
# holds the same code, stripped of the function names this check reads. Linux (ELF, glibc) only.
# Set PYTHON to choose the interpreter.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
mkdir -p "$root/build"
source "$root/scripts/lib/find-python.sh"
jobs=${VELKOR_JOBS:-2}
python=$(velkor_find_python)

if ! command -v objdump >/dev/null 2>&1; then
  echo "error: objdump is needed (binutils)" >&2
  exit 1
fi

velkor_ensure_cmake "$root/build/ct-tools"

build="$root/build/ct-wipe"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKOR_WERROR=ON \
  -DPython_EXECUTABLE="$python" > "$build.configure.log" 2>&1 \
  || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$jobs" --target pyvelkor_core > "$build.build.log" 2>&1 \
  || { cat "$build.build.log"; exit 1; }
module="$build/src/pyvelkor_core.abi3.so"
echo "module: $module"

objdump -T "$module" > "$build/dynamic-symbols.txt"
objdump -d -C --no-show-raw-insn "$module" > "$build/disassembly.txt"

"$python" - "$build/dynamic-symbols.txt" "$build/disassembly.txt" <<'PY'
import re
import sys
from collections import defaultdict

dynamic, disassembly = (open(path, encoding="utf-8").read() for path in sys.argv[1:3])
WIPE = "velkor::core::secure_wipe(void*, unsigned long)"
problems = []

# The primitive must come from the C library, resolved at load time.
if not re.search(r"\*UND\*.*\sexplicit_bzero$", dynamic, re.M):
    problems.append("explicit_bzero is not imported from the C library")

# Direct calls and tail calls (jmp) of every function, by its demangled name. GCC moves
# unlikely paths (exception cleanups) into "<name> [clone .cold]" parts; they count as the
# function's own code.
calls = defaultdict(list)
function = None
for line in disassembly.splitlines():
    start = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
    if start:
        function = re.sub(r" \[clone \.cold(\.\d+)?\]$", "", start.group(1))
        calls[function]  # listed even when it calls nothing
        continue
    branch = re.search(r"\t(?:call|jmp)\s+[0-9a-f]+ <([^>+]+)(?:\+0x[0-9a-f]+)?>$", line)
    if branch and function is not None and branch.group(1) != function:
        calls[function].append(branch.group(1))


def call_count(prefix, target):
    """Calls of `target` from functions whose name starts with `prefix` (the function itself,
    its cold part and any lambda defined in it that was not inlined)."""
    return sum(targets.count(target) for name, targets in calls.items() if name.startswith(prefix))


if WIPE not in calls and not any(WIPE in targets for targets in calls.values()):
    problems.append("secure_wipe is not in the module")
elif call_count(WIPE, "explicit_bzero@plt") == 0:
    problems.append("secure_wipe does not call explicit_bzero")

DESTRUCTOR = "velkor::core::RecoveredSecret::~RecoveredSecret()"
# (what, function, wiping functions it must call directly)
expectations = [
    ("generate_key: the key buffer", "velkor::lib::generate_key(", [WIPE]),
    ("shamir_split: words, coefficients, values", "velkor::core::shamir_split(", [WIPE]),
    ("split_secret: the share texts", "velkor::lib::split_secret(", [WIPE]),
    ("shamir_combine: the parsed values and sums", "velkor::core::shamir_combine(", [WIPE]),
    ("RecoveredSecret destructor", DESTRUCTOR, [WIPE]),
    # The destructor is out of line; with the whole program optimised it may be inlined.
    ("combine_shares: the rebuilt secret", "velkor::lib::combine_shares(", [DESTRUCTOR, WIPE]),
    # Thrown error results are destroyed by the C++ runtime through this destructor.
    ("PythonError: its message", "velkor::boundary::PythonError::~PythonError(", [WIPE]),
]
for what, prefix, wipers in expectations:
    if not any(name.startswith(prefix) for name in calls):
        problems.append(f"{what}: no function {prefix}...")
        continue
    found = {wiper: call_count(prefix, wiper) for wiper in wipers}
    shown = ", ".join(f"{count} x {wiper.split('(')[0].split('::')[-1]}" for wiper, count in found.items())
    print(f"{what:45} {shown}")
    if sum(found.values()) == 0:
        problems.append(f"{what}: no call of the wipe")

total = sum(targets.count(WIPE) for targets in calls.values())
print(f"secure_wipe call sites in the module: {total}")

# xmm16-31 and ymm16-31 exist only in EVEX encodings that need AVX-512VL, which the register
# clearing does not check for (AVX-512F alone guarantees the zmm forms): one would end a process
# on a processor without VL with an invalid-opcode fault.
upper = re.findall(r"%[xy]mm(?:1[6-9]|2[0-9]|3[01])\b", disassembly)
print(f"xmm16-31 and ymm16-31 operands in the module: {len(upper)}")
if upper:
    problems.append(f"{len(upper)} operands of xmm16-31 or ymm16-31 (they need AVX-512VL)")
for problem in problems:
    print("FAILED:", problem, file=sys.stderr)
sys.exit(1 if problems else 0)
PY
echo "wipe check passed"
