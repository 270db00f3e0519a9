#!/usr/bin/env bash
# Shows that the leak check catches a real leak: builds the modules with TARVIK_DELIBERATE_LEAK
# (one reference leaked on every Tcl list written; build/leaky) and requires the leak check to
# report leaks on that build. The leak gate itself (make leaks) must pass on the real build.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PY:-.venv/bin/python}
site=$(gates/stage.sh leaky -DTARVIK_DELIBERATE_LEAK=ON)
status=0
PYTHONPATH="$site" "$PY" -m gates.leakcheck "$@" || status=$?
case $status in
    1) echo "[leak-proof] ok: the leak check fails on the deliberately leaking build" ;;
    0) echo "[leak-proof] FAILED: the leak check passed a build that leaks"; exit 1 ;;
    *) echo "[leak-proof] FAILED: the leak check could not run (status $status)"; exit 1 ;;
esac
