#!/usr/bin/env bash
# Builds every native module with AddressSanitizer and UndefinedBehaviorSanitizer (build/asan) and
# runs the whole test suite, a short fuzz run and the exit programs (native objects alive when the
# interpreter exits, gates/exit_scripts.py) against it, with the sanitizer runtime preloaded into
# the (uninstrumented) Python. Any report fails the gate: UBSan stops at the first error,
# ASan aborts, and reports written by child processes are collected from build/asan/reports.
# Usage: gates/sanitize.sh [pytest arguments]     (SANITIZE_FUZZ_TOTAL: fuzz examples, default 3000)
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PY:-.venv/bin/python}
CXX=${CXX:-c++}
site=$(gates/stage.sh asan -DTARVIK_SANITIZE=ON)
reports=$(realpath -m build/asan/reports)
rm -rf "$reports"
mkdir -p "$reports"

runtime="$("$CXX" -print-file-name=libasan.so) $("$CXX" -print-file-name=libubsan.so)"
sanitized() {
    # detect_leaks=0: the interpreter's own allocations at exit are not ours to report.
    # PYTHONMALLOC=malloc: Python objects come from malloc, so ASan sees a use after free of one.
    env LD_PRELOAD="$runtime" PYTHONMALLOC=malloc PYTHONPATH="$site" \
        ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$reports/asan" \
        UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
        "$@"
}

status=0
sanitized "$PY" -c 'import tarvik.tcl.scriptify as m; print("[sanitize] testing", m.__file__)'
sanitized "$PY" -m pytest -p no:cacheprovider "$@" || status=1
sanitized "$PY" -m gates.run_fuzz --no-faulthandler --total "${SANITIZE_FUZZ_TOTAL:-3000}" -q || status=1
# Python's objects stay in malloc here, so a native object freed after its class shows up.
sanitized "$PY" -m gates.exit_scripts -X dev || status=1

if compgen -G "$reports/*" >/dev/null; then
    echo "[sanitize] sanitizer reports:" >&2
    cat "$reports"/* >&2
    status=1
fi
[ $status -eq 0 ] && echo "[sanitize] no sanitizer report" >&2
exit $status
