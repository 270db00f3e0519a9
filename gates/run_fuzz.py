"""Runs the fuzz suite (gates/fuzz) in a child process, so that a crash or a hang of the native code
is reported as a failure with its cause instead of taking the runner down with it.

    python -m gates.run_fuzz [--total N | --examples N] [--timeout SECONDS] [--gc-threshold N]
                             [pytest arguments ...]

--total shares N hypothesis examples among all targets (default 3000, at least 20 each);
--examples sets the number per target instead; --gc-threshold 1 makes the collector run every
other allocation (on Python 3.11, inside the native code's own allocations). Prints the number of examples run; exit status 0
only when the child ran them all and passed.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import signal
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent


def describe(returncode: int) -> str:
    if returncode < 0:
        return f"CRASHED: killed by {signal.Signals(-returncode).name}"
    return {1: "FAILED", 2: "INTERRUPTED", 3: "INTERNAL ERROR", 4: "USAGE ERROR",
            5: "FAILED: no test ran"}.get(returncode, f"FAILED with status {returncode}")  # fmt: skip


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--total", type=int, default=3000)
    parser.add_argument("--examples", type=int, default=0)
    parser.add_argument("--timeout", type=float, default=1800)
    parser.add_argument("--suite", default="gates/fuzz", help="the fuzz tests to run")
    parser.add_argument("--gc-threshold", type=int, default=0,
                        help="the collector's first threshold for the run (1: every other "
                             "allocation); 0 leaves it as it is")
    parser.add_argument("--no-faulthandler", action="store_true",
                        help="leave fatal signals to a sanitizer, whose report says more")
    args, pytest_args = parser.parse_known_args(argv)

    with tempfile.TemporaryDirectory() as tmp:
        report = pathlib.Path(tmp) / "examples"
        last_call = pathlib.Path(tmp) / "last-call"
        env = dict(os.environ, TARVIK_FUZZ_TOTAL=str(args.total),
                   TARVIK_FUZZ_EXAMPLES=str(args.examples or ""), TARVIK_FUZZ_REPORT=str(report),
                   TARVIK_FUZZ_LAST_CALL=str(last_call),
                   TARVIK_FUZZ_GC_THRESHOLD=str(args.gc_threshold or ""))
        handler = ["-p", "no:faulthandler"] if args.no_faulthandler else []
        command = [sys.executable, "-X", "faulthandler", "-m", "pytest", args.suite,
                   "-p", "no:cacheprovider", *handler, *pytest_args]  # fmt: skip
        if args.no_faulthandler:
            command[1:3] = []
        try:
            returncode = subprocess.run(command, cwd=ROOT, env=env, timeout=args.timeout).returncode
        except subprocess.TimeoutExpired:
            print(f"fuzz: HUNG: no result after {args.timeout:.0f} s", file=sys.stderr)
            return 1
        counts = report.read_text() if report.exists() else "no count (the run ended early)"
        if returncode != 0 and not report.exists() and last_call.exists():
            print(f"fuzz: the last call started: {last_call.read_text()}", file=sys.stderr)
    verdict = "passed" if returncode == 0 else describe(returncode)
    print(f"fuzz: {counts}: {verdict}")
    return 0 if returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
