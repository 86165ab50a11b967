# Sourced by the other scripts: makes sure the Debian packages and the project venv
# (.venv, with the build and test tools from PyPI) are there, then activates the venv.
# Safe to run again: it installs only what is missing.

vorlane_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

vorlane_apt_packages=(g++ libgtest-dev libgmock-dev libbenchmark-dev python3-venv)
vorlane_missing=()
for package in "${vorlane_apt_packages[@]}" ${VORLANE_EXTRA_APT:-}; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
    || vorlane_missing+=("$package")
done
if [ ${#vorlane_missing[@]} -gt 0 ]; then
  echo "setup: installing Debian packages: ${vorlane_missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${vorlane_missing[@]}" >/dev/null
fi

vorlane_python="${VORLANE_PYTHON:-python3}"
vorlane_venv="${VORLANE_VENV:-$vorlane_root/.venv}"
if [ ! -x "$vorlane_venv/bin/python" ]; then
  echo "setup: creating $vorlane_venv"
  "$vorlane_python" -m venv "$vorlane_venv"
fi
# shellcheck disable=SC1091
source "$vorlane_venv/bin/activate"

# Every version comes from constraints.txt; VORLANE_EXTRA_PIP names tools that
# only some scripts need (the wheel and chart tools). The stamp holds the package
# list and the constraints, so changing either installs the difference.
vorlane_constraints="$vorlane_root/constraints.txt"
vorlane_pip_packages=(scikit-build-core cmake ninja pytest mypy numpy lxml xmltodict ${VORLANE_EXTRA_PIP:-})
vorlane_stamp="$vorlane_venv/.vorlane-tools"
vorlane_wanted="${vorlane_pip_packages[*]} $(sha256sum < "$vorlane_constraints" | cut -c1-16)"
if [ ! -f "$vorlane_stamp" ] || [ "$(cat "$vorlane_stamp")" != "$vorlane_wanted" ]; then
  echo "setup: installing Python build and test tools into $vorlane_venv"
  python -m pip install -q --disable-pip-version-check -c "$vorlane_constraints" "${vorlane_pip_packages[@]}"
  echo "$vorlane_wanted" > "$vorlane_stamp"
fi
# Isolated builds (pip wheel ., python -m build) install their build tools with
# the same versions.
export PIP_CONSTRAINT="$vorlane_constraints"

# Builds and installs the module into the venv, keeping the CMake build directory
# (with the C++ tests when VORLANE_CORE_TESTS=1) for incremental rebuilds.
vorlane_install() {
  local tag
  tag="$(python -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')"
  vorlane_build_dir="$vorlane_root/build/$tag${VORLANE_BUILD_SUFFIX:-}"
  python -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    -Cbuild-dir="$vorlane_build_dir" \
    -Ccmake.define.VORLANE_BUILD_TESTS="${VORLANE_CORE_TESTS:-OFF}" \
    ${VORLANE_CMAKE_ARGS:-} \
    "$vorlane_root"
}
