# Two commands for a newcomer: `make demo` and `make test`.
# They run on the newest supported CPython found (3.9 to 3.13); PYTHON=... picks
# another. Each version gets its own venv (.venv/<version>) and build tree.
SHELL := /bin/bash
PYTHON ?= $(shell tools/find-python)

# ---- CPython 3.14 and 3.15, from the Debian unstable root of tools/sid_root.sh ----
# PYTHON may be a bare version (PYTHON=3.12, PYTHON=3.14), looked up by
# tools/find-python. When the interpreter is one of the root's, the goals asked
# for run inside the root (`tools/sid_root.sh run make ...`, which sees the
# repository at the same path): .venv/3.14 and build/ are made and used there.
ifneq ($(filter 3.%,$(PYTHON)),)
override PYTHON := $(shell PYTHON=$(PYTHON) tools/find-python)
ifeq ($(PYTHON),)
$(error no such CPython (see tools/find-python above))
endif
endif
SID_ROOT := $(CURDIR)/.venv/debian/sid-amd64
ifneq ($(filter $(SID_ROOT)/%,$(abspath $(PYTHON))),)
ifneq ($(filter clean,$(MAKECMDGOALS)),)
$(error `make clean` removes .venv, the root's folder included: run it without PYTHON=)
endif
shell-quote = '$(subst ','\'',$(1))'
# make's one-letter options (-n, -k, -s...) go along; the rest of its environment does not
sid-run:
	tools/sid_root.sh run $(MAKE) --no-print-directory $(addprefix -,$(filter-out -%,$(firstword $(MAKEFLAGS)))) $(MAKECMDGOALS) \
	  PYTHON=$(patsubst $(SID_ROOT)/%,/%,$(abspath $(PYTHON))) \
	  ARROW=$(call shell-quote,$(ARROW)) PYTEST_ARGS=$(call shell-quote,$(PYTEST_ARGS))
$(MAKECMDGOALS): sid-run ; @:
.PHONY: sid-run $(MAKECMDGOALS)
else
# ---- (the rest of this file is for an interpreter of this machine; `endif` at its end) ----
PYVER := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
# ARROW=1: the same with pyarrow installed (requirements-arrow.txt), in .venv/<version>-arrow.
ARROW ?=
VENV := .venv/$(PYVER)$(if $(ARROW),-arrow)
REQS := requirements.txt $(if $(ARROW),requirements-arrow.txt)
VPY := $(CURDIR)/$(VENV)/bin/python
STAMP := $(VENV)/.deps-stamp
SRCS := $(shell find src/vandrel/model/models -name '*.cpp' -o -name '*.hpp' -o -name '*.pyi') CMakeLists.txt pyproject.toml
HOST_SRCS := $(shell find host/src -name '*.py' -o -name 'py.typed') host/pyproject.toml
PIP := $(VPY) -m pip --disable-pip-version-check -q
ALL_PYTHONS = $(shell tools/find-python --all)

.PHONY: demo test cpp-test test-all install leaks asan bench lint wheel wheels wheel-check clean

$(VPY):
	$(PYTHON) -m venv $(VENV)

$(STAMP): $(REQS) | $(VPY)
	$(PIP) install $(addprefix -r ,$(REQS))
	touch $@

# The stand-in of the host package (host/, plain Python), installed before the
# module, whose wheel holds only the module and its stub. The module is
# uninstalled first and installed again by the next rule: an older build of it
# lists the host's files as its own, and replacing it would remove them.
$(VENV)/.host-stamp: $(STAMP) $(HOST_SRCS)
	$(PIP) -q uninstall -y vandrel-string-models
	$(PIP) install --no-build-isolation --no-deps ./host
	touch $@

# Build and install the module into the venv (incremental: build/ keeps CMake's tree).
$(VENV)/.install-stamp: $(VENV)/.host-stamp $(SRCS)
	$(PIP) install --no-build-isolation --no-deps .
	touch $@

install: $(VENV)/.install-stamp

demo: install
	$(VPY) examples/demo.py

test: install cpp-test
	@echo "test: $$($(VPY) -c 'import sys, importlib.util, numpy, pandas; pa = importlib.util.find_spec("pyarrow") and __import__("pyarrow"); print("CPython %s, numpy %s, pandas %s, pyarrow %s" % (sys.version.split()[0], numpy.__version__, pandas.__version__, pa.__version__ if pa else "none"))')"
	cd tests && $(VPY) -m pytest -q $(PYTEST_ARGS)

# The C++ checks of the generator (mt/, no Python.h): every vector width this
# processor runs against the word-by-word loops, and the words and draws against
# CPython's own `random` (written by tests/cpp/cpython_words.py).
CPP_TESTS := build/cpp-tests
MT_DIR := src/vandrel/model/models/mt
CPP_TEST_CXX ?= g++
CPP_TEST_FLAGS := -std=c++17 -O2 -Wall -Wextra -Werror -Wno-psabi -I src/vandrel/model/models

$(CPP_TESTS)/test_mt: tests/cpp/test_mt.cpp $(MT_DIR)/mt19937.cpp $(MT_DIR)/cpu.cpp $(wildcard $(MT_DIR)/*.hpp)
	@mkdir -p $(@D)
	$(CPP_TEST_CXX) $(CPP_TEST_FLAGS) -o $@ $(filter %.cpp,$^)

$(CPP_TESTS)/cpython_words.txt: tests/cpp/cpython_words.py | $(VPY)
	@mkdir -p $(@D)
	$(VPY) $< > $@.tmp && mv $@.tmp $@

cpp-test: $(CPP_TESTS)/test_mt $(CPP_TESTS)/cpython_words.txt
	$(CPP_TESTS)/test_mt $(CPP_TESTS)/cpython_words.txt

# The suite on every supported CPython found on this machine.
test-all:
	@set -e; for p in $(ALL_PYTHONS); do $(MAKE) --no-print-directory test PYTHON=$$p; done

# Leak and fault-injection checks at full length (rounds of 2000 calls) on the
# release build with pymalloc, where sys.getallocatedblocks() counts.
leaks: install
	cd tests && VANDREL_SLOW=1 PYTHONMALLOC=pymalloc $(VPY) -m pytest -q test_reliability.py -k "no_leak or injected_faults"

# Benchmarks print a table and write bench/results/ (not part of the tests), and
# the README's chart, docs/rates.png.
bench: install
	$(PIP) install -r bench/requirements.txt
	@echo "bench: $$($(VPY) -c 'import sys, numpy, pandas, importlib.util as u; pa = "pyarrow " + __import__("pyarrow").__version__ if u.find_spec("pyarrow") else "no pyarrow: Arrow storage skipped"; print("CPython %s, numpy %s, pandas %s, %s (other versions: PYTHON=...)" % (sys.version.split()[0], numpy.__version__, pandas.__version__, pa))')"
	$(VPY) bench/bench.py
	$(VPY) bench/sequential.py
	$(VPY) bench/xeger.py
	$(VPY) bench/nans.py
	$(VPY) bench/chart.py

# The whole suite against a build with AddressSanitizer and UBSan.
asan: $(STAMP)
	VPY=$(VPY) tools/asan.sh

# clang-format check and clang-tidy over the C++ sources.
lint: install
	VPY=$(VPY) tools/lint.sh

# One manylinux2014 wheel per supported CPython found and per architecture
# (x86_64, aarch64; built by zig, see tools/build_wheels.sh), and the sdist, into dist/.
# CPython 3.14 and 3.15 are those of the Debian unstable root (tools/sid_root.sh,
# made when missing; root needed); SID_VERSIONS= leaves them out, here and in wheel-check.
wheels:
	PYTHONS="$(ALL_PYTHONS)" tools/build_wheels.sh

# Checks the wheels (and the sdist) of dist/: auditwheel's policy and the
# module's exports; each x86_64 wheel installs into a fresh venv of its version
# with the newest dependencies, imports, samples, runs the demo and mypy
# --strict (3.14 and 3.15 in the Debian unstable root, with the test suite); the
# cp39 wheels run the test suite in Debian 11 roots (arm64 under qemu-user, the
# tests of the native code; root needed). Builds them first when dist/ has none.
wheel-check:
	PYTHONS="$(ALL_PYTHONS)" tools/check_wheel.sh

wheel: $(STAMP)
	$(VPY) -m pip wheel --no-build-isolation --no-deps -w dist .

clean:
	rm -rf build dist .venv

endif  # the Debian unstable root
