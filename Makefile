# The two set-up-and-run commands (each makes its own Python 3.13 virtual environment in .venv,
# installs what it needs and builds the package):
#   make demo    runs examples/quickstart.py against a real Tcl interpreter, then
#                examples/remote.py against a tclsh in a child process
#   make test    runs the whole test suite
# and, the same way, `make docs` builds the documentation site into docs/_build/html.
VENV ?= .venv
PY := $(VENV)/bin/python

FUZZ_TOTAL ?= 3000

.PHONY: demo test docs bench dev check format gates-setup gates sanitize leaks leak-proof fuzz pythons stubs

demo:
	scripts/setup.sh
	$(PY) examples/quickstart.py
	$(PY) examples/remote.py

test:
	scripts/setup.sh test
	$(PY) -m pytest

# Warnings are errors: a docstring that does not render, a broken reference or a public name
# missing from the API reference fails the build.
docs:
	scripts/setup.sh docs
	$(VENV)/bin/sphinx-build -W --keep-going -b html docs docs/_build/html
	@echo "docs: docs/_build/html/index.html"

bench:
	scripts/setup.sh test
	$(PY) -m pip install -q pytcl-eda || echo "pytcl-eda not installed: its benchmark row is left out"
	$(PY) benchmarks/run.py

# Fast edit-compile-test loop: an incremental build next to the sources (needs `make test` once).
dev:
	cmake -S . -B build/dev -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build/dev
	for so in build/dev/*.so; do ln -sf $$(realpath $$so) src/tarvik/tcl/; done

check: dev
	PYTHONPATH=src $(PY) -m pytest

format:
	$(VENV)/bin/clang-format -i src/tarvik/tcl/*.cpp src/tarvik/tcl/*/*.cpp src/tarvik/tcl/support/*.hpp

# Quality gates (see the README). Each runs alone; `make gates` runs them all. They check the
# package installed in .venv, rebuilt once per make run by gates-setup.
gates: sanitize leaks leak-proof fuzz stubs pythons docs

gates-setup:
	scripts/setup.sh gates

sanitize: gates-setup
	gates/sanitize.sh

leaks: gates-setup
	$(PY) -m gates.leakcheck

leak-proof: gates-setup
	gates/leak_proof.sh

fuzz: gates-setup
	$(PY) -m gates.run_fuzz --total $(FUZZ_TOTAL)

stubs: gates-setup
	$(PY) -m gates.stubs

pythons:
	gates/pythons.sh
