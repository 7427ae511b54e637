# Front door. `make test` and `make demo` work on a fresh Debian 12 machine:
# they install what is missing, configure, build and run.

PYTHON   ?= /usr/bin/python3
BUILD    ?= build
JOBS     ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build test test-cpp test-python test-clang bench bench-peers demo \
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

# The same build and both test suites with Clang, in their own build dir. The
# benchmarks and the slow venv installation test (which builds with the
# default compiler again) are left out.
CLANG_BUILD ?= build-clang
test-clang:
	scripts/install-deps base clang
	$(MAKE) --no-print-directory test BUILD=$(CLANG_BUILD) PYTEST_ARGS="-m 'not slow'" \
	  CMAKE_FLAGS="-DCMAKE_CXX_COMPILER=clang++ -DTRELVAR_BUILD_BENCH=OFF $(CMAKE_FLAGS)"

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

# The C++ tests and the install checks against libtrelvar.so, in build-shared.
test-shared: deps
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
