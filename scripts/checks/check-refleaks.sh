#!/usr/bin/env bash
# Shows that the reference-leak table (tests/python/test_refleaks.py) catches leaks. On a release
# CPython, where the table counts the interpreter's memory blocks, it builds the module from three
# copies of the tracked files, installs each in turn into build/refleaks/venv and runs the table:
#   unplanted     the module as it is: every case must pass;
#   index-result  to_u64 keeps a reference to each result of __index__ (a success path of the
#                 conversion of k and n): the cases listed for it below must fail;
#   len-error     to_share_texts keeps a reference to the exception of a failing __len__ (the
#                 error path that drops the length hint): the cases listed for it must fail.
# Each plant is a text replacement in src/boundary/converters.cpp of the copy that must match
# exactly once: when a change of that file moves a site, this check fails instead of running a
# module without the leak. A planted build may fail more cases than listed; they are shown.
# Each copy keeps its build directory (build/refleaks/build-<name>) from run to run, so that a
# second run compiles only the planted file.
# Set PYTHON to choose the interpreter (>= 3.12); VELKOR_JOBS (default 2).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
source scripts/lib/find-python.sh
work="$root/build/refleaks"
export CMAKE_BUILD_PARALLEL_LEVEL=${VELKOR_JOBS:-2}
# Warnings are errors, as in every build of the test command.
export VELKOR_WERROR=ON
mkdir -p "$work"

# The cases each plant must fail, one per line, as the table names them.
declare -A must_fail
must_fail[unplanted]=""
must_fail[index-result]="split_secret: __index__ objects
split_secret: __index__ n < k
split_secret: __index__ negative
combine_shares: too few, large k"
must_fail[len-error]="combine_shares: no length
combine_shares: __len__ interrupt"

# `plant <copy> <name>`: plants the leak <name> into the copy's converters.cpp.
plant() {
  "$venv/bin/python" - "$1/src/boundary/converters.cpp" "$2" <<'PY'
import sys
from pathlib import Path

path, name = Path(sys.argv[1]), sys.argv[2]
# name: [(text, its replacement)]; every text must occur exactly once.
PLANTS = {
    # One more reference to what __index__ returned, never released.
    "index-result": [
        ("call_python(PyNumber_Index, value)", "Py_XNewRef(call_python(PyNumber_Index, value))"),
    ],
    # A __len__ that raised: its exception is taken and set again with one more reference.
    "len-error": [
        ("namespace velkor::boundary {\n",
         "static Py_ssize_t planted_size(PyObject* value) {\n"
         "  const Py_ssize_t size = PySequence_Size(value);\n"
         "  if (size < 0) {\n"
         "    PyErr_SetRaisedException(Py_XNewRef(PyErr_GetRaisedException()));\n"
         "  }\n"
         "  return size;\n"
         "}\n\n"
         "namespace velkor::boundary {\n"),
        ("call_python(PySequence_Size, value)", "call_python(planted_size, value)"),
    ],
}
text = path.read_text(encoding="utf-8")
for old, new in PLANTS[name]:
    if text.count(old) != 1:
        sys.exit(f"error: the plant {name} expects {old!r} exactly once in {path.name}, found it "
                 f"{text.count(old)} times: update scripts/checks/check-refleaks.sh")
    text = text.replace(old, new)
path.write_text(text, encoding="utf-8")
PY
}

# `verdict <name> <junit xml>`: prints the cases that failed and fails when the table did not run
# all of its cases or its result is not the expected one.
verdict() {
  "$venv/bin/python" - "$1" "$2" "${must_fail[$1]}" <<'PY'
import sys
import xml.etree.ElementTree as ET

name, report, expected = sys.argv[1], sys.argv[2], {line for line in sys.argv[3].splitlines() if line}
cases = ET.parse(report).getroot().iter("testcase")
failed, problems, ran = {}, [], 0
for case in cases:
    test = case.get("name", "")
    if not test.startswith("test_no_reference_or_block_leak["):
        continue
    ran += 1
    label = test[len("test_no_reference_or_block_leak[") : -1]
    failure = case.find("failure")
    for other in ("error", "skipped"):
        if case.find(other) is not None:
            problems.append(f"{label}: {other} ({case.find(other).get('message', '')})")
    if failure is not None:
        failed[label] = failure.get("message", "").splitlines()[0]
if ran == 0:
    problems.append("the table ran no case")
for label, message in failed.items():
    print(f"  failed: {label}: {message.removeprefix('AssertionError: ')}")
missed = sorted(expected - failed.keys())
problems += [f"the table missed the plant in: {label}" for label in missed]
if name == "unplanted" and failed:
    problems.append("the module as it is fails the table")
print(f"{name}: {ran} cases, {len(failed)} failed" + ("" if problems else ", as expected"))
for problem in problems:
    print(f"FAILED: {name}: {problem}", file=sys.stderr)
sys.exit(1 if problems else 0)
PY
}

venv="$work/venv"
if [ ! -x "$venv/bin/python" ]; then
  "$(velkor_find_python)" -m venv "$venv"
fi
if ! cmp -s pyproject.toml "$venv/.installed"; then
  velkor_pip_install "$venv/bin/python" --upgrade pip
  velkor_pip_install "$venv/bin/python" --group "pyproject.toml:build" --group "pyproject.toml:test"
  cp pyproject.toml "$venv/.installed"
fi
"$venv/bin/python" -c 'import sys; print(sys.version.split()[0], "debug build" if hasattr(sys, "gettotalrefcount") else "release build")'

status=0
# The unplanted module last, so that the environment is left with it.
for name in index-result len-error unplanted; do
  copy="$work/src-$name"
  rm -rf -- "$copy"
  mkdir -p "$copy"
  # The tracked files as they are, with their times, so that the kept build redoes only what changed.
  git ls-files -z --cached | while IFS= read -r -d '' file; do
    if [ -e "$file" ]; then printf '%s\0' "$file"; fi
  done | xargs -0 cp -p --parents -t "$copy" --
  if [ "$name" != unplanted ]; then
    plant "$copy" "$name"
  fi
  log="$work/$name.log"
  if ! velkor_pip_install "$venv/bin/python" --no-build-isolation --no-deps --force-reinstall \
    "$copy" -Cbuild-dir="$work/build-$name" > "$log" 2>&1; then
    cat "$log" >&2
    echo "FAILED: building the $name module" >&2
    status=1
    continue
  fi
  # From outside the copies, so that only the installed module can be imported.
  (cd "$work" && "$venv/bin/python" -m pytest -q -p no:cacheprovider --junitxml="$work/$name.xml" \
    "$root/tests/python/test_refleaks.py") >> "$log" 2>&1 || true
  if ! verdict "$name" "$work/$name.xml"; then
    tail -n 30 "$log" >&2
    status=1
  fi
done
exit "$status"
