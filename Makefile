# Two commands do all the set-up on a fresh machine:
#   make demo   builds everything and runs the demo
#   make test   builds everything and runs the whole test suite
# Both create .venv with CPython 3.13 where the machine has it.

PYTHON := $(shell scripts/find-python)
VENV := .venv
VPY := $(VENV)/bin/python
BUILD_REQS := scikit-build-core>=0.10 nanobind==3.1.0 nlohmann-json==3.12.0 cmake ninja
TEST_REQS := pytest numpy
JOBS ?= 2

.PHONY: all build test demo bench clean

all: build

$(VENV)/.ready:
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet $(BUILD_REQS) $(TEST_REQS)
	@$(VPY) -c 'import sys; print("zel_core builds with Python", sys.version.split()[0], "at", sys.executable)'
	touch $@

build: $(VENV)/.ready
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPY) -m pip install --quiet --no-build-isolation --no-deps .

test: build
	$(VPY) -m pytest -q tests

demo: build
	$(VPY) examples/demo.py

bench: build
	for b in benchmarks/*.py; do $(VPY) $$b || exit 1; done

clean:
	rm -rf build .deps $(VENV)
