#!/usr/bin/env bash
# Builds the venv the resize benchmark compares against: Pillow-SIMD compiled
# from its source distribution with AVX2 enabled, pyvips with its binary
# wheel, matplotlib for the chart. It lives beside the project's venvs in
# .venv/peers-<python> and is built once; prints its python on stdout.
# Pillow-SIMD cannot share a venv with Pillow, hence a venv of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:?usage: setup_peers.sh PYTHON}
tag=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv=.venv/peers-$tag
if [ ! -f "$venv/.ready" ]; then
  if ! dpkg -s libjpeg-dev zlib1g-dev >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >&2
    apt-get install -y -qq libjpeg-dev zlib1g-dev >&2
  fi
  "$python" -m venv "$venv"
  pip=("$venv/bin/python" -m pip install -q --disable-pip-version-check)
  "${pip[@]}" numpy matplotlib pyvips pyvips-binary >&2
  # matplotlib pulls in stock Pillow; the peer replaces it.
  "$venv/bin/python" -m pip uninstall -q -y pillow >&2 || true
  CC="cc -mavx2" "${pip[@]}" --no-binary pillow-simd --no-cache-dir pillow-simd >&2
  touch "$venv/.ready"
fi
echo "$PWD/$venv/bin/python"
