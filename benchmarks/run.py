"""Runs every benchmark (the bench_*.py files here) and prints one table of ratios.

    python benchmarks/run.py [-v] [name-filter ...]

-v also prints the absolute time per call of both sides.
"""

from __future__ import annotations

import importlib
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))

from harness import Table  # noqa: E402


def main(args: list[str]) -> int:
    verbose = "-v" in args
    filters = [a for a in args if a != "-v"]
    table = Table()
    for path in sorted(pathlib.Path(__file__).parent.glob("bench_*.py")):
        if filters and not any(f in path.stem for f in filters):
            continue
        print(f"running {path.stem} ...", file=sys.stderr)
        importlib.import_module(path.stem).run(table)
    print(table.render(verbose))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
