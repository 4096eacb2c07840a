# Set-up, build and tests.  `make demo` and `make test` work on a fresh machine.
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
JOBS   ?= $(shell nproc)
CMAKE_GEN := -G Ninja

# The Python suite also runs on the newest CPython of the machine when it is
# newer than $(PYTHON), in its own environment .venv-VERSION.
NEWEST      := $(shell bash scripts/newest-python.sh $(PYTHON))
NEW_VERSION := $(word 1,$(NEWEST))
NEW_VENV    := .venv-$(NEW_VERSION)
NEW_VPY     := $(NEW_VENV)/bin/python

FUZZ_SECONDS ?= 60
FUZZ_BUILD   := build/fuzz

.PHONY: all deps venv install install-newest demo test cpp-test asan-test py-test coverage bench clean fuzz-deps fuzz-build fuzz fuzz-smoke

all: install

deps:
	bash scripts/install-deps.sh

# $(call make-venv,INTERPRETER,DIR): a virtual environment with the build and test tools.
define make-venv
	$(1) -m venv $(2)
	$(2)/bin/python -m pip install --quiet --upgrade pip
	$(2)/bin/python -m pip install --quiet "scikit-build-core>=0.10" "nanobind>=2.5" pytest
endef

$(VPY):
	$(call make-venv,$(PYTHON),$(VENV))

venv: deps $(VPY)

# Builds and installs the package kiv (with kiv._kiv) into the virtual environment.
install: venv
	$(VPY) -m pip install --quiet --no-build-isolation -C build-dir=build/python .

ifneq ($(NEWEST),)
$(NEW_VPY):
	$(call make-venv,$(word 2,$(NEWEST)),$(NEW_VENV))

install-newest: deps $(NEW_VPY)
	$(NEW_VPY) -m pip install --quiet --no-build-isolation -C build-dir=build/python-$(NEW_VERSION) .
else
install-newest:
	@echo "no CPython newer than $(PYTHON) on this machine: the Python suite runs on $(PYTHON) only"
endif

demo: install
	$(VPY) scripts/demo.py

cpp-test: deps
	cmake -S . -B build/cpp $(CMAKE_GEN) -DKIV_BUILD_TESTS=ON -DKIV_LIBS=
	cmake --build build/cpp -j$(JOBS)
	ctest --test-dir build/cpp --output-on-failure -j$(JOBS)

asan-test: deps
	cmake -S . -B build/asan $(CMAKE_GEN) -DKIV_BUILD_TESTS=ON -DKIV_LIBS= -DKIV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build build/asan -j$(JOBS)
	UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build/asan --output-on-failure -j$(JOBS)

# Line and branch coverage of the C++ libraries by their tests, reported by
# gcovr (installed into the virtual environment) in build/coverage.
coverage: venv
	$(VPY) -m pip install --quiet gcovr
	JOBS=$(JOBS) bash scripts/coverage.sh build/coverage $(VENV)/bin/gcovr

py-test: install install-newest
	$(VPY) -m pytest -q tests
ifneq ($(NEWEST),)
	$(NEW_VPY) -m pytest -q tests
endif

# libFuzzer targets, built by clang-19 with ASan and UBSan (the install
# script adds clang when KIV_FUZZ=1).
fuzz-deps:
	KIV_FUZZ=1 bash scripts/install-deps.sh

fuzz-build: fuzz-deps
	cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DKIV_FUZZ=ON -DKIV_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang-19 -DCMAKE_CXX_COMPILER=clang++-19
	cmake --build $(FUZZ_BUILD) -j$(JOBS)

# Every target for FUZZ_SECONDS each; findings land in $(FUZZ_BUILD)/work/artifacts.
fuzz: fuzz-build
	bash fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# A short run of every target, where clang-19 is installed.
fuzz-smoke:
	@if command -v clang++-19 >/dev/null; then $(MAKE) --no-print-directory fuzz FUZZ_SECONDS=15; \
	else echo "clang++-19 not installed: fuzzing skipped (KIV_FUZZ=1 make deps installs it)"; fi

test: cpp-test asan-test py-test fuzz-smoke

bench: install
	$(VPY) bench/run.py

clean:
	rm -rf build $(VENV) .venv-*
