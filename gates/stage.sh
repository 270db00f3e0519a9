#!/usr/bin/env bash
# Builds every native module into build/NAME with extra CMake options and stages an importable
# copy of the package in build/NAME/site (put it first on PYTHONPATH). Prints the site directory.
# Usage: gates/stage.sh NAME [-DOPTION=VALUE ...]     (PY: the Python to build for, default .venv)
set -euo pipefail
cd "$(dirname "$0")/.."

name=$1
shift
PY=${PY:-.venv/bin/python}
build=build/$name
site=$build/site

cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$(realpath "$PY")" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" >&2

rm -rf "$site"
mkdir -p "$site"
cp -r src/tarvik "$site/"
find "$site" \( -name '*.so' -o -name __pycache__ \) -prune -exec rm -rf {} +
# Only the modules whose source is in the tree: a build directory may hold removed ones.
for source in src/tarvik/tcl/*.cpp; do
    cp "$build/$(basename "$source" .cpp)".*.so "$site/tarvik/tcl/"
done
realpath "$site"
