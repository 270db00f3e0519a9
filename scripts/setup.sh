#!/usr/bin/env bash
# Everything the demo and the tests need, on a fresh machine: Python 3.13 with tkinter, TclX,
# a tclsh (for the host of a Tcl in another process), a virtual environment made from that
# Python, and this package built and installed into it.
# System packages are installed with apt-get when they are missing and we are root (or have
# password-less sudo). Usage: scripts/setup.sh [pip extras, e.g. "test"]
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${VENV:-.venv}
EXTRAS=${1:-}

log() { printf '[setup] %s\n' "$*" >&2; }

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"
    elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then sudo "$@"
    else return 1
    fi
}

apt_updated=
apt_install() {
    command -v apt-get >/dev/null 2>&1 || return 1
    if [ -z "$apt_updated" ]; then
        as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null || return 1
        apt_updated=1
    fi
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >/dev/null
}

usable_python() {
    "$1" -c 'import sys, tkinter, venv, ensurepip; assert sys.version_info[:2] == (3, 13)' \
        >/dev/null 2>&1
}

find_python() {
    local candidates=("${PYTHON:-}")
    if command -v pyenv >/dev/null 2>&1; then
        candidates+=("$(pyenv root)"/versions/3.13*/bin/python3.13)
    fi
    candidates+=("$HOME"/.pyenv/versions/3.13*/bin/python3.13 python3.13 /usr/bin/python3.13
                 /usr/local/bin/python3.13)
    for candidate in "${candidates[@]}"; do
        [ -n "$candidate" ] || continue
        path=$(command -v "$candidate" 2>/dev/null) || continue
        if usable_python "$path"; then echo "$path"; return 0; fi
    done
    return 1
}

PY=$(find_python) || {
    log "no Python 3.13 with tkinter found; installing python3.13 python3.13-venv python3-tk"
    apt_install python3.13 python3.13-venv python3-tk || true
    PY=$(find_python) || { log "Python 3.13 with tkinter is required (set PYTHON=...)"; exit 1; }
}
log "using $PY"

has_tclx() { "$PY" -c 'import tkinter; tkinter.Tcl().eval("package require Tclx")' >/dev/null 2>&1; }
if ! has_tclx; then
    package=tclx8.4
    if command -v apt-cache >/dev/null 2>&1 && ! apt-cache show "$package" >/dev/null 2>&1; then
        package=$(apt-cache search --names-only '^tclx[0-9.]*$' | awk 'NR==1 {print $1}')
    fi
    log "TclX is missing; installing ${package:-tclx8.4}"
    apt_install "${package:-tclx8.4}" || log "could not install TclX: keyed-list tests will skip"
fi

if ! command -v tclsh >/dev/null 2>&1; then
    log "tclsh is missing; installing tcl8.6"
    apt_install tcl8.6 || log "could not install tcl8.6: tests of TclProcess will fail"
fi

# The tests drive real tool shells and links too: Jim Tcl, OpenOCD (its dummy adapter), expect,
# netgen, magic, yosys, tcllib, and an sshd on a loopback port. Each test skips, saying why,
# where its program is missing; here we install what we can.
if [ "$EXTRAS" = test ] || [ "$EXTRAS" = gates ]; then
    wanted=()
    for pair in jimsh:jimsh openocd:openocd expect:expect netgen-lvs:netgen-lvs magic:magic \
                yosys:yosys /usr/sbin/sshd:openssh-server /usr/share/tcltk/tcllib*:tcllib; do
        program=${pair%%:*} package=${pair##*:}
        if [[ $program == /* ]]; then
            compgen -G "$program" >/dev/null || wanted+=("$package")
        else
            command -v "$program" >/dev/null 2>&1 || wanted+=("$package")
        fi
    done
    if [ ${#wanted[@]} -gt 0 ]; then
        log "installing the tool shells the tests drive: ${wanted[*]}"
        apt_install "${wanted[@]}" || log "could not install ${wanted[*]}: their tests will skip"
    fi
fi

if [ ! -x "$VENV/bin/python" ] || ! usable_python "$VENV/bin/python"; then
    rm -rf "$VENV"
    "$PY" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q --upgrade pip
fi
target=.
[ -n "$EXTRAS" ] && target=".[$EXTRAS]"
log "building and installing $target into $VENV"
"$VENV/bin/python" -m pip install -q "$target"
