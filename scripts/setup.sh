#!/usr/bin/env bash
# Sets up everything the project needs on a fresh machine: the Debian packages of the C++
# build, a CPython 3.12 virtual environment in .venv, the module built and installed into
# it, and the test and benchmark tools. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

# The Debian packages of the build: installed as root, through sudo otherwise; without
# either, the one command to run is printed and the setup stops.
packages=(nlohmann-json3-dev libpcre2-dev libonig-dev libicu-dev g++)
if ! dpkg -s nlohmann-json3-dev libpcre2-dev libonig-dev libicu-dev >/dev/null 2>&1 || ! command -v g++ >/dev/null 2>&1; then
  if [ "$(id -u)" -eq 0 ]; then
    as_root=()
  elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
  else
    echo "setup: the build needs Debian packages that are missing; as root, run" >&2
    echo "  apt-get install -y ${packages[*]}" >&2
    echo "then run this script again." >&2
    exit 1
  fi
  echo "setup: installing ${packages[*]}${as_root[*]:+ (through sudo)}" >&2
  "${as_root[@]}" apt-get update -qq
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${packages[@]}" >/dev/null
fi

# pyenv resolves .python-version (3.12); fall back to any python3.12 on the PATH.
py=""
if command -v pyenv >/dev/null 2>&1; then py=$(pyenv which python 2>/dev/null || true); fi
if [ -z "$py" ] || ! "$py" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
  py=$(command -v python3.12 || true)
fi
if [ -z "$py" ]; then
  echo "setup: CPython 3.12 not found (pyenv install 3.12, or put python3.12 on the PATH)" >&2
  exit 1
fi

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))'; then
  rm -rf .venv
  "$py" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip >/dev/null
.venv/bin/python -m pip install -q -r requirements-dev.txt
.venv/bin/python -m pip install -q .
