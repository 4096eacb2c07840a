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

.PHONY: all deps venv install install-newest demo test cpp-test asan-test py-test bench clean

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
	cmake -S . -B build/cpp $(CMAKE_GEN) -DKIV_BUILD_TESTS=ON
	cmake --build build/cpp -j$(JOBS)
	ctest --test-dir build/cpp --output-on-failure -j$(JOBS)

asan-test: deps
	cmake -S . -B build/asan $(CMAKE_GEN) -DKIV_BUILD_TESTS=ON -DKIV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build build/asan -j$(JOBS)
	UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build/asan --output-on-failure -j$(JOBS)

py-test: install install-newest
	$(VPY) -m pytest -q tests
ifneq ($(NEWEST),)
	$(NEW_VPY) -m pytest -q tests
endif

test: cpp-test asan-test py-test

bench: install
	$(VPY) bench/run.py

clean:
	rm -rf build $(VENV) .venv-*
