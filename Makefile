# make demo | test | bench — each creates or reuses a virtual environment for
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
SOURCES := pyproject.toml CMakeLists.txt $(shell find src python proto -type f 2>/dev/null)

.PHONY: demo test bench install clean

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip

$(VENV)/.installed: $(VPY) $(SOURCES)
	$(VPY) -m pip install -q $(BUILD_DEPS)
	$(VPY) -m pip install -q --no-build-isolation \
		-Ccmake.define.MIRVANE_WERROR=ON -Cbuild-dir=$(BUILD_DIR) ".[test]"
	touch $@

install: $(VENV)/.installed

demo: install
	$(VPY) examples/demo.py

test: install
	cd tests && ../$(VPY) -m pytest -q

bench: install
	$(VPY) bench/run.py

clean:
	rm -rf build .venv
