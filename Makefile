# Two commands for a newcomer: `make demo` and `make test`.
SHELL := /bin/bash
PYTHON ?= $(shell tools/find-python)
VENV := .venv
VPY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-stamp
SRCS := $(wildcard src/vandrel/model/models/*.cpp src/vandrel/model/models/*.hpp) \
        $(shell find src/vandrel -name '*.py' -o -name '*.pyi' -o -name 'py.typed') CMakeLists.txt pyproject.toml
PIP := $(VPY) -m pip --disable-pip-version-check -q

.PHONY: demo test install leaks asan bench lint wheel wheel-check clean

$(VPY):
	$(PYTHON) -m venv $(VENV)

$(STAMP): requirements.txt | $(VPY)
	$(PIP) install -r requirements.txt
	touch $@

# Build and install the package into .venv (incremental: build/ keeps CMake's tree).
$(VENV)/.install-stamp: $(STAMP) $(SRCS)
	$(PIP) install --no-build-isolation --no-deps .
	touch $@

install: $(VENV)/.install-stamp

demo: install
	$(VPY) examples/demo.py

test: install
	cd tests && ../$(VPY) -m pytest -q $(PYTEST_ARGS)

# Leak and fault-injection checks at full length (rounds of 2000 calls) on the
# release build with pymalloc, where sys.getallocatedblocks() counts.
leaks: install
	cd tests && VANDREL_SLOW=1 PYTHONMALLOC=pymalloc ../$(VPY) -m pytest -q test_reliability.py -k "no_leak or injected_faults"

# Benchmarks print a table and write bench/results/ (not part of the tests).
bench: install
	$(PIP) install -r bench/requirements.txt
	$(VPY) bench/bench.py
	$(VPY) bench/xeger.py

# The whole suite against a build with AddressSanitizer and UBSan.
asan: $(STAMP)
	VPY=$(VPY) tools/asan.sh

# clang-format check and clang-tidy over the C++ sources.
lint: install
	tools/lint.sh

# Builds the wheel, installs it into a fresh venv, imports and samples.
wheel-check: $(STAMP)
	PYTHON=$(PYTHON) VPY=$(VPY) tools/check_wheel.sh

wheel: $(STAMP)
	$(VPY) -m pip wheel --no-build-isolation --no-deps -w dist .

clean:
	rm -rf build dist $(VENV)
