#!/usr/bin/env bash
# `make lint`: every check runs, each says what it found, and the script fails
# when any of them did.
#   scripts/lint.sh PYTHON     (the venv's python, with the package installed)
# C++ format (clang-format with the checked-in .clang-format), mypy on the
# package, stubtest of both .pyi stubs against the built modules, and a grep
# for CPython internals in src/.
set -uo pipefail
cd "$(dirname "$0")/.."
python="${1:-.venv/bin/python}"
failed=()

check() {
    local name="$1"
    shift
    echo "== lint: $name"
    if "$@"; then
        echo "== lint: $name: ok"
    else
        echo "== lint: $name: FAILED"
        failed+=("$name")
    fi
}

cxx_sources() { find src \( -name '*.cpp' -o -name '*.hpp' \) | sort; }

# Lists each file that clang-format would change and in how many places;
# `clang-format -i $(find src -name '*.[ch]pp')` applies the style.
format() {
    local sources
    mapfile -t sources < <(cxx_sources)
    clang-format --dry-run --Werror "${sources[@]}" 2>&1 |
        sed -nE 's/^([^ :]+):[0-9]+:[0-9]+: error: .*clang-format-violations.*/\1/p' | uniq -c |
        awk '{print "  " $2 ": " $1 " place(s)"; n++} END {if (n) print "  " n " file(s) to reformat"; exit n > 0}'
}

# Only the public C API: no private names (`_Py...`) and no fields of the
# interpreter's own structures (reach them through their documented calls:
# Py_TYPE, Py_REFCNT, PyType_GetName, PyObject_GenericGetDict, ...).
PRIVATE='->(tp|ob|ma|ht)_[a-z]|\b_Py[A-Za-z_]|\b(ma_version_tag|ma_keys|ma_values|tp_version_tag|Py_TPFLAGS_VALID_VERSION_TAG|ht_name|ht_qualname|ob_refcnt|ob_type|ob_size)\b|\b(PyASCIIObject|PyCompactUnicodeObject|PyDictObject|PyDictKeysObject|PyHeapTypeObject)\b'
private_api() {
    ! grep -nE -e "$PRIVATE" $(cxx_sources)
}

# stubtest imports the installed modules; from the repository root, src/
# keeps the sources out of the way.
stubs() {
    "$python" -m mypy.stubtest quorvi.bases.routers.link_broker quorvi.core.classregistry
}

check "C++ format (clang-format $(clang-format --version | grep -oE '[0-9]+\.[0-9.]+' | head -1))" format
check "mypy src/quorvi" "$python" -m mypy
check "stubtest" stubs
check "public C API only" private_api

if [ "${#failed[@]}" -gt 0 ]; then
    echo "lint: failed: ${failed[*]}" >&2
    exit 1
fi
echo "lint: all clean"
