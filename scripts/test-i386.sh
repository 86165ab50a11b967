#!/usr/bin/env bash
# Builds vorlane for 32-bit x86 and runs the whole suite there: the C++ core tests
# (CTest) and the Python suite (pytest), with Debian 12's own i386 interpreter, in
# the i386 root of i386-root.sh (default /var/cache/vorlane/i386-root, made with
# debootstrap when missing). The build goes to build/i386 and the module is
# installed into the venv build/i386-venv, which sees Debian's pytest and numpy.
# Arguments are passed on to pytest. Needs root (debootstrap, mount, chroot).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/i386-root.sh"
i386_enter_namespace "$0" "$@"
i386_mount

run_started=$SECONDS
# shellcheck disable=SC2016  # expanded inside the root
in_root CI="${CI:-}" /bin/bash -c '
set -euo pipefail
cd /vorlane
echo "== i386: $(uname -m) userland, $(python3 --version), $(g++ --version | head -n 1)"
build_dir=build/i386
venv=build/i386-venv
[ -x "$venv/bin/python" ] || python3 -m venv --without-pip --system-site-packages "$venv"
site_packages="$("$venv/bin/python" -c "import sysconfig; print(sysconfig.get_paths()[\"platlib\"])")"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVORLANE_BUILD_TESTS=ON -DVORLANE_BUILD_MODULE=ON \
  -DPython_EXECUTABLE="$PWD/$venv/bin/python" > "$build_dir.configure.log" 2>&1 \
  || { cat "$build_dir.configure.log"; exit 1; }
cmake --build "$build_dir" -j2
cmake --install "$build_dir" --prefix "$site_packages" > /dev/null
module_file="$("$venv/bin/python" -c "import vorlane; print(vorlane.__file__)")"
echo "== i386 module: $module_file"
# Both suites run even when the first fails, so one run shows every failure.
echo "== i386 C++ core tests"
ctest_status=0
ctest --test-dir "$build_dir" --output-on-failure --no-tests=error --timeout 600 -j2 || ctest_status=$?
echo "== i386 Python tests"
pytest_status=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || pytest_status=$?
if [ "$ctest_status" -ne 0 ] || [ "$pytest_status" -ne 0 ]; then
  echo "test-i386: ctest exit status $ctest_status, pytest exit status $pytest_status" >&2
  exit 1
fi
' bash "$@"
echo "test-i386: build and tests took $((SECONDS - run_started)) s"
