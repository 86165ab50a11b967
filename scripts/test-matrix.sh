#!/usr/bin/env bash
# Builds vorlane for every CPython 3.11 or newer installed by pyenv and runs the
# Python suite with each. Every version gets its own venv (.venv-matrix/<version>,
# or under VORLANE_MATRIX_VENVS) and build directory (build/<tag>-matrix); the
# module is compiled with -Werror, so a compiler warning fails that version.
# Arguments are passed on to pytest.
# Every version is tried; the run fails if any of them failed.
set -euo pipefail
vorlane_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
versions_dir="${PYENV_ROOT:-$HOME/.pyenv}/versions"
venvs_dir="${VORLANE_MATRIX_VENVS:-$vorlane_root/.venv-matrix}"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

versions=()
for version_dir in "$versions_dir"/*; do
  version="$(basename "$version_dir")"
  # Plain releases only ("3.12.1"): free-threaded ("3.13.0t") and other builds
  # are not targets of the module.
  [[ "$version" =~ ^3\.([0-9]+)\.[0-9]+$ ]] || continue
  [ "${BASH_REMATCH[1]}" -ge 11 ] || continue
  [ -x "$version_dir/bin/python3" ] || continue
  versions+=("$version")
done
if [ ${#versions[@]} -eq 0 ]; then
  echo "test-matrix: no CPython 3.11 or newer under $versions_dir" >&2
  exit 1
fi
mapfile -t versions < <(printf '%s\n' "${versions[@]}" | sort -V)

passed=()
failed=()
for version in "${versions[@]}"; do
  echo "== CPython $version"
  started=$SECONDS
  # The subshell is a plain command (not an `if` condition) so that errexit holds
  # inside it: a failed build must not go on to test a module installed earlier.
  set +e
  (
    set -e
    export VORLANE_PYTHON="$versions_dir/$version/bin/python3"
    export VORLANE_VENV="$venvs_dir/$version"
    source "$vorlane_root/scripts/setup.sh"
    cd "$vorlane_root"
    VORLANE_BUILD_SUFFIX=-matrix VORLANE_CMAKE_ARGS="-Ccmake.define.CMAKE_CXX_FLAGS=-Werror" \
      vorlane_install
    python -c 'import sys, vorlane; print(f"vorlane imported by {sys.version.split()[0]} from {vorlane.__file__}")'
    python -m pytest -q "$@"
  )
  status=$?
  set -e
  if [ "$status" -eq 0 ]; then
    passed+=("$version")
    echo "== CPython $version passed in $((SECONDS - started)) s"
  else
    failed+=("$version")
    echo "== CPython $version FAILED (exit status $status) after $((SECONDS - started)) s"
  fi
done

echo "test-matrix: passed: ${passed[*]:-none}; failed: ${failed[*]:-none}"
[ ${#failed[@]} -eq 0 ]
