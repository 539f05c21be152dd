# make demo | test | fuzz | bench — each creates or reuses a virtual environment for
# the chosen interpreter and installs the package and what it needs into it.
#   PYTHON=/path/to/python3.X  picks the interpreter (default: a CPython 3.9)

SHELL := /bin/bash

find_python39 = $(shell python3.9 -c 'import sys; print(sys.executable)' 2>/dev/null \
	|| ls -d $$(pyenv root 2>/dev/null)/versions/3.9*/bin/python3.9 2>/dev/null | tail -n 1)
PYTHON ?= $(find_python39)
ifeq ($(strip $(PYTHON)),)
$(error No CPython 3.9 found: put python3.9 on PATH or pass PYTHON=...)
endif
PYVER := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
VENV ?= .venv/$(PYVER)
BUILD_DIR ?= build/$(PYVER)
VPY := $(VENV)/bin/python
BUILD_DEPS := scikit-build-core cmake ninja grpcio-tools==1.80.1
SOURCES := pyproject.toml CMakeLists.txt $(shell find src python proto tests/native -type f 2>/dev/null)

SANITIZE ?= OFF

.PHONY: demo test fuzz test-asan wheel bench install clean

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip

$(VENV)/.installed: $(VPY) $(SOURCES)
	$(VPY) -m pip install -q $(BUILD_DEPS)
	$(VPY) -m pip install -q --no-build-isolation \
		-Ccmake.define.MIRVANE_WERROR=ON -Ccmake.define.MIRVANE_SANITIZE=$(SANITIZE) \
		-Ccmake.define.MIRVANE_BUILD_TESTS=ON \
		-Cbuild-dir=$(BUILD_DIR) ".[test]"
	touch $@

install: $(VENV)/.installed

# The mirvane command at work on files of its own making, then the same from Python.
DEMO := examples/out
MIRVANE := $(VENV)/bin/mirvane
demo: install
	mkdir -p $(DEMO)
	$(MIRVANE) record $(DEMO)/run.rec --seconds 10 --seed 7
	$(MIRVANE) show $(DEMO)/run.mvproj
	$(MIRVANE) info $(DEMO)/run.rec
	$(MIRVANE) replay $(DEMO)/run.rec --project $(DEMO)/run.mvproj --movie $(DEMO)/run.mp4 --fps 20
	$(VPY) examples/demo.py

# The frame's native tests live in the build directory, next to the probe
# module the Python tests import from there.
test: install
	$(BUILD_DIR)/frame_unit_tests
	MIRVANE_NATIVE_TESTS=$(abspath $(BUILD_DIR)) $(VPY) -m pytest -q tests

# The randomised properties of tests/test_fuzz.py with many more examples each.
fuzz: install
	MIRVANE_FUZZ_EXAMPLES=50000 $(VPY) -m pytest -q --hypothesis-show-statistics tests/test_fuzz.py

# The whole suite against extensions built with AddressSanitizer and
# UndefinedBehaviorSanitizer, the interpreter allocating with malloc so that
# a reference released too early shows as a use after free.
ASAN_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libubsan.so)
test-asan:
	$(MAKE) install VENV=.venv/asan-$(PYVER) BUILD_DIR=build/asan-$(PYVER) SANITIZE=ON
	LD_PRELOAD="$(ASAN_RUNTIME)" PYTHONMALLOC=malloc MIRVANE_NATIVE_TESTS=$(abspath build/asan-$(PYVER)) \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		.venv/asan-$(PYVER)/bin/python -m pytest -q -p no:cacheprovider tests

# A release wheel for the chosen interpreter, installed into a fresh virtual
# environment and tested there, away from the source tree.
WHEEL_DIR := dist/$(PYVER)
WHEEL_VENV := .venv/wheel-$(PYVER)
wheel: $(VPY)
	$(VPY) -m pip install -q $(BUILD_DEPS)
	rm -rf $(WHEEL_DIR) $(WHEEL_VENV)
	$(VPY) -m pip wheel -q --no-deps --no-build-isolation -Ccmake.define.MIRVANE_WERROR=ON \
		-Cbuild-dir=build/wheel-$(PYVER) -w $(WHEEL_DIR) .
	$(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q "$$(ls $(WHEEL_DIR)/mirvane-*.whl)[test]"
	cd $$(mktemp -d) && $(abspath $(WHEEL_VENV))/bin/python -m pytest -q -p no:cacheprovider $(abspath tests)

bench: install
	$(VPY) bench/run.py

clean:
	rm -rf build dist .venv
