#!/usr/bin/env bash
# Makes the venv for `make test39`, `make test312`, `make test313`:
#   scripts/pyenv-venv.sh PYTHON VENV
# PYTHON is one of pyenv's interpreters (part of the machine image); the venv
# sees Debian's pure-Python pytest, xdist, pexpect and pybind11 through a
# .pth file.
set -euo pipefail
py="$1"
venv="$2"
test -x "$venv/bin/python" || "$py" -m venv "$venv"

# setuptools 61 or newer reads the package metadata from pyproject.toml; 3.9
# bundles an older one, 3.12 and 3.13 bundle none, and 3.12 needs 66.1 or
# newer. Debian's copy is patched for Debian's own interpreters (it needs their
# distutils) and fails under these, so take a plain copy from pyenv's
# interpreters: those bundled with ensurepip (65.5) or the one the 3.12 and
# 3.13 test suites ship (67.6).
versions="$(cd "$(dirname "$py")/../.." && pwd)"
wheels="$(mktemp -d)"
trap 'rm -rf "$wheels"' EXIT
for wheel in "$versions"/*/lib/python3*/ensurepip/_bundled/setuptools-*.whl \
             "$versions"/*/lib/python3*/test/setuptools-*.whl \
             "$versions"/*/lib/python3*/test/wheeldata/setuptools-*.whl; do
    [ -e "$wheel" ] && ln -sf "$wheel" "$wheels/"
done
minimum="$("$venv/bin/python" -c 'import sys; print("66.1" if sys.version_info >= (3, 12) else "61")')"
"$venv/bin/python" -m pip install --quiet --no-index --upgrade --find-links "$wheels" "setuptools>=$minimum"

# A path line in a .pth file goes after the venv's own packages, so the
# venv's pip and setuptools still win over Debian's.
purelib="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
echo /usr/lib/python3/dist-packages > "$purelib/debian-dist-packages.pth"
