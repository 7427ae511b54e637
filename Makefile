# Front door. `make test` and `make demo` work on a fresh Debian 12 machine:
# they install what is missing, configure, build and run.

PYTHON   ?= /usr/bin/python3
BUILD    ?= build
JOBS     ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build test test-cpp test-python bench bench-peers demo \
        test-sanitize test-shared fuzz format clean golden

all: build

deps:
	scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython3_EXECUTABLE=$(PYTHON) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	$(MAKE) --no-print-directory test-cpp test-python

test-cpp:
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

PYTEST_ARGS ?=
test-python:
	PYTHONPATH=$(CURDIR)/$(BUILD)/python $(PYTHON) -m pytest -q $(PYTEST_ARGS) tests/python

bench: build
	scripts/run-benchmarks $(BUILD)

# trelvar side by side with KDL, MuJoCo and DART, in its own build dir.
PEERS_BUILD ?= build-peers
bench-peers:
	scripts/install-deps base peers
	cmake -S . -B $(PEERS_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTRELVAR_BENCH_PEERS=ON -DTRELVAR_BUILD_TESTS=OFF -DTRELVAR_BUILD_PYTHON=OFF $(CMAKE_FLAGS)
	cmake --build $(PEERS_BUILD) -j $(JOBS) --target bench_peers
	$(PEERS_BUILD)/bench/bench_peers

demo: build
	PYTHONPATH=$(CURDIR)/$(BUILD)/python $(PYTHON) examples/demo.py

test-sanitize:
	scripts/install-deps base fuzz
	scripts/test-sanitize

# The second build, in build-shared: libtrelvar.so compiled with Clang; the C++
# tests, the install checks and the Python tests against it.
test-shared:
	scripts/install-deps base clang
	scripts/test-shared

FUZZ_SECONDS ?= 60
fuzz:
	scripts/install-deps base fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz

# Rewrites the golden reference from the current library (only when a change
# is meant to alter results; see DEVELOPERS.md).
golden: build
	scripts/regen-golden $(BUILD)

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD) build-*
