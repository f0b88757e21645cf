# Every target sets up what it needs on a fresh Debian machine: the Debian
# packages, a venv in .venv (with the system site packages) and the build.
PYTHON  := /usr/bin/python3
VENV    := .venv
VPY     := $(VENV)/bin/python
SOURCES := $(shell find src -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name py.typed \)) \
           pyproject.toml setup.py setup.cfg
PYTEST_ARGS ?=

# The sanitizer build: both modules with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a venv and a build folder of their own.
ASAN_VENV := .venv-asan
SANITIZE  := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1

# CPython 3.9 (pyenv's, part of the machine image), with Debian's
# pure-Python pytest and pexpect put on its path by a .pth file.
PY39   ?= $(firstword $(wildcard /root/.pyenv/versions/3.9*/bin/python3.9))
VENV39 := .venv39

export CC  := ccache gcc
export CXX := ccache g++

.PHONY: demo test test-asan test39 build bench clean deps

demo: build
	$(VENV)/bin/quorvi demo

test: build
	$(VPY) -m pytest -n 2 $(PYTEST_ARGS)

build: $(VENV)/.installed

deps: $(VENV)/.deps

$(VENV)/.deps: scripts/install-deps.sh
	scripts/install-deps.sh
	test -x $(VPY) || $(PYTHON) -m venv --system-site-packages $(VENV)
	touch $@

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps --no-index .
	touch $@

test-asan: $(ASAN_VENV)/.installed
	scripts/sanitized.sh $(ASAN_VENV)/bin/python -m pytest -n 2 $(PYTEST_ARGS)

$(ASAN_VENV)/.installed: $(VENV)/.deps $(SOURCES)
	test -x $(ASAN_VENV)/bin/python || $(PYTHON) -m venv --system-site-packages $(ASAN_VENV)
	QUORVI_BUILD_BASE=build/asan QUORVI_CXXFLAGS="$(SANITIZE)" \
	QUORVI_LDFLAGS="-fsanitize=address,undefined" \
	$(ASAN_VENV)/bin/python -m pip install --quiet --no-build-isolation --no-deps --no-index .
	touch $@

# Skips, saying so, where the machine has no CPython 3.9.
test39:
	@if [ -z "$(PY39)" ] || [ ! -x "$(PY39)" ]; then \
	    echo "test39: SKIPPED: no CPython 3.9 interpreter (PY39='$(PY39)'; by default the first /root/.pyenv/versions/3.9*/bin/python3.9)"; \
	else \
	    $(MAKE) --no-print-directory $(VENV39)/.installed && \
	    $(VENV39)/bin/python -m pytest -n 2 $(PYTEST_ARGS); \
	fi

$(VENV39)/.installed: $(VENV)/.deps $(SOURCES) scripts/venv39.sh
	scripts/venv39.sh $(PY39) $(VENV39)
	$(VENV39)/bin/python -m pip install --quiet --no-build-isolation --no-deps --no-index .
	touch $@

bench: build
	$(VPY) bench/run.py

clean:
	rm -rf build $(VENV) $(ASAN_VENV) $(VENV39) src/*.egg-info .pytest_cache
