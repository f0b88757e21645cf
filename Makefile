# Every target sets up what it needs on a fresh Debian machine: the Debian
# packages, a venv in .venv (with the system site packages) and the build.
PYTHON  := /usr/bin/python3
VENV    := .venv
VPY     := $(VENV)/bin/python
SOURCES := $(shell find src -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name py.typed \)) \
           pyproject.toml setup.py
PYTEST_ARGS ?=

# The sanitizer build: both modules with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a venv and a build folder of their own.
ASAN_VENV := .venv-asan
SANITIZE  := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1

# The other CPythons of the machine image (pyenv's): `make test39`,
# `make test312`, `make test313` run the whole suite under 3.9, 3.12, 3.13,
# each in a venv of its own (.venv39, ...) that sees Debian's pure-Python
# pytest and pexpect through a .pth file. PY39=/path/to/python3.9 (PY312,
# PY313) picks another interpreter.
PYENV_ROOT    ?= /root/.pyenv
OTHER_PYTHONS := 39 312 313
OTHER_TESTS   := $(addprefix test,$(OTHER_PYTHONS))
pyenv_python   = $(firstword $(wildcard $(PYENV_ROOT)/versions/3.$(1).*/bin/python3.$(1)))

export CC  := ccache gcc
export CXX := ccache g++

.PHONY: demo test test-asan test-all $(OTHER_TESTS) lint build bench clean deps

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

# setuptools copies modules into build/lib.* and never removes one that was
# renamed or deleted: start from an empty copy, or the venv keeps stale modules.
$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	rm -rf build/lib.*
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps --no-index .
	touch $@

test-asan: $(ASAN_VENV)/.installed
	scripts/sanitized.sh $(ASAN_VENV)/bin/python -m pytest -n 2 $(PYTEST_ARGS)

$(ASAN_VENV)/.installed: $(VENV)/.deps $(SOURCES)
	test -x $(ASAN_VENV)/bin/python || $(PYTHON) -m venv --system-site-packages $(ASAN_VENV)
	rm -rf build/asan/lib.*
	QUORVI_BUILD_BASE=build/asan QUORVI_CXXFLAGS="$(SANITIZE)" \
	QUORVI_LDFLAGS="-fsanitize=address,undefined" \
	$(ASAN_VENV)/bin/python -m pip install --quiet --no-build-isolation --no-deps --no-index .
	touch $@

# Each skips, saying so, where the machine has no such interpreter.
$(OTHER_TESTS): test3%:
	@py="$(or $(PY3$*),$(call pyenv_python,$*))"; \
	if [ -z "$$py" ] || [ ! -x "$$py" ]; then \
	    echo "$@: SKIPPED: no CPython 3.$* interpreter (PY3$*='$$py'; by default the first $(PYENV_ROOT)/versions/3.$*.*/bin/python3.$*)"; \
	else \
	    $(MAKE) --no-print-directory .venv3$*/.installed PY3$*="$$py" && \
	    .venv3$*/bin/python -m pytest -n 2 $(PYTEST_ARGS); \
	fi

.venv3%/.installed: $(VENV)/.deps $(SOURCES) scripts/pyenv-venv.sh
	scripts/pyenv-venv.sh "$(PY3$*)" .venv3$*
	rm -rf build/lib.*-cpython-3$*
	.venv3$*/bin/python -m pip install --quiet --no-build-isolation --no-deps --no-index .
	touch $@

# Every interpreter in turn: Debian's, then the other ones (skipped if absent).
test-all: test $(OTHER_TESTS)

# C++ format, mypy, the stubs against the built modules, no CPython internals
# in src/ (scripts/lint.sh).
lint: build
	scripts/lint.sh $(VPY)

bench: build
	$(VPY) bench/run.py

clean:
	rm -rf build $(VENV) $(ASAN_VENV) $(addprefix .venv,$(OTHER_PYTHONS)) src/*.egg-info .pytest_cache
