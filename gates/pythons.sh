#!/usr/bin/env bash
# Builds and tests the package with every CPython 3.11, 3.12 and 3.13 found on this machine, each
# in its own virtual environment (.venv-3.11, ...). 3.13 must be there; the others are tested where
# present. On 3.11 a short fuzz run follows with the collector running every other allocation.
# Usage: gates/pythons.sh [version ...]   (default: 3.11 3.12 3.13)
set -euo pipefail
cd "$(dirname "$0")/.."

REQUIRED=3.13
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.11 3.12 3.13)

log() { printf '[pythons] %s\n' "$*" >&2; }

usable() {
    "$1" -c "import sys, tkinter, venv, ensurepip; assert sys.version_info[:2] == tuple(map(int, '$2'.split('.')))" \
        >/dev/null 2>&1
}

find_python() {
    local version=$1 candidates=()
    if command -v pyenv >/dev/null 2>&1; then
        candidates+=("$(pyenv root)"/versions/"$version".*/bin/python"$version")
    fi
    candidates+=("$HOME"/.pyenv/versions/"$version".*/bin/python"$version" "python$version"
                 "/usr/bin/python$version" "/usr/local/bin/python$version")
    for candidate in "${candidates[@]}"; do
        path=$(command -v "$candidate" 2>/dev/null) || continue
        if usable "$path" "$version"; then echo "$path"; return 0; fi
    done
    return 1
}

# Python 3.11 runs the collector inside allocations, so there a finaliser can run between a
# lookup in native code and its use: a short fuzz run with the collector at its most eager.
fuzz_collecting_everywhere() {
    local python=$1 version=$2
    [ "$version" = 3.11 ] || return 0
    log "Python $version: fuzzing with gc.set_threshold(1)"
    "$python" -m gates.run_fuzz --total "${PYTHONS_FUZZ_TOTAL:-600}" --gc-threshold 1
}

tested=() missing=() failed=()
for version in "${versions[@]}"; do
    if ! py=$(find_python "$version"); then
        if [ "$version" = "$REQUIRED" ]; then
            log "Python $version with tkinter is required but was not found"
            failed+=("$version")
        else
            log "Python $version not found: skipped"
            missing+=("$version")
        fi
        continue
    fi
    venv=.venv-$version
    log "Python $version: $py -> $venv"
    if [ ! -x "$venv/bin/python" ] || ! usable "$venv/bin/python" "$version"; then
        rm -rf "$venv"
        "$py" -m venv "$venv"
        "$venv/bin/python" -m pip install -q --upgrade pip 2>/dev/null
    fi
    if "$venv/bin/python" -m pip install -q ".[test]" 2>&1 | grep -v "^WARNING: Location" >&2 \
        ; [ "${PIPESTATUS[0]}" -eq 0 ] && "$venv/bin/python" -m pytest -p no:cacheprovider \
        && fuzz_collecting_everywhere "$venv/bin/python" "$version"; then
        tested+=("$version")
    else
        log "Python $version FAILED"
        failed+=("$version")
    fi
done

log "tested: ${tested[*]:-none}; not found: ${missing[*]:-none}; failed: ${failed[*]:-none}"
[ ${#failed[@]} -eq 0 ] && [ ${#tested[@]} -gt 0 ]
