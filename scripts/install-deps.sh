#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those missing.
set -euo pipefail
packages=(g++ make ccache pybind11-dev python3-pybind11 python3-dev python3-venv python3-pip
          python3-setuptools python3-pytest python3-pytest-xdist python3-pexpect
          python3-hypothesis
          python3-distributed python3-rich  # fleets: the Dask engine, live progress
          python3-yaml openssh-client openssh-server  # labs: inventory, ssh
          inetutils-telnet socat python3-netmiko  # real clients of the served labs in the tests
          ser2net conserver-server conserver-client openssl  # real console servers in the tests
          clang-format mypy                    # make lint
          python3-exceptiongroup python3-tomli)  # the last two: pytest on CPython 3.9
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi
