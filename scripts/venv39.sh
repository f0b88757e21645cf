#!/usr/bin/env bash
# Makes the CPython 3.9 venv for `make test39`:  scripts/venv39.sh PYTHON3.9 VENV
# It sees Debian's pure-Python pytest, xdist and pexpect through a .pth file.
set -euo pipefail
py39="$1"
venv="$2"
test -x "$venv/bin/python" || "$py39" -m venv "$venv"

# setuptools 61 or newer reads the package metadata from pyproject.toml; the
# one bundled with 3.9 is older. Debian's copy is patched for Debian's own
# interpreters (it needs their distutils hook) and fails under this one, so
# take the plain copy bundled with the newer interpreters beside this one.
versions="$(cd "$(dirname "$py39")/../.." && pwd)"
links=()
for bundled in "$versions"/*/lib/python3*/ensurepip/_bundled; do
    links+=(--find-links "$bundled")
done
"$venv/bin/python" -m pip install --quiet --no-index --upgrade "${links[@]}" "setuptools>=61"

# A path line in a .pth file goes after the venv's own packages, so the
# venv's pip and setuptools still win over Debian's.
purelib="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
echo /usr/lib/python3/dist-packages > "$purelib/debian-dist-packages.pth"
