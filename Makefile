# Set-up, build and tests.  `make demo` and `make test` work on a fresh machine.
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
JOBS   ?= $(shell nproc)
CMAKE_GEN := -G Ninja

.PHONY: all deps venv install demo test cpp-test asan-test py-test bench clean

all: install

deps:
	bash scripts/install-deps.sh

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet "scikit-build-core>=0.10" "nanobind>=2.5" pytest

venv: deps $(VPY)

# Builds and installs the package kiv (with kiv._kiv) into the virtual environment.
install: venv
	$(VPY) -m pip install --quiet --no-build-isolation -C build-dir=build/python .

demo: install
	$(VPY) scripts/demo.py

cpp-test: deps
	cmake -S . -B build/cpp $(CMAKE_GEN) -DKIV_BUILD_TESTS=ON
	cmake --build build/cpp -j$(JOBS)
	ctest --test-dir build/cpp --output-on-failure -j$(JOBS)

asan-test: deps
	cmake -S . -B build/asan $(CMAKE_GEN) -DKIV_BUILD_TESTS=ON -DKIV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build build/asan -j$(JOBS)
	UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build/asan --output-on-failure -j$(JOBS)

py-test: install
	$(VPY) -m pytest -q tests

test: cpp-test asan-test py-test

bench: install
	$(VPY) bench/run.py

clean:
	rm -rf build $(VENV)
