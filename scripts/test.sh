#!/usr/bin/env bash
# Builds vorlane and runs every test: the C++ core suite (CTest) and the Python
# suite (pytest, including the type-stub check). Installs what is missing first.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$vorlane_root"

VORLANE_CORE_TESTS=ON vorlane_install
echo "== C++ core tests"
ctest --test-dir "$vorlane_build_dir" --output-on-failure -j2
echo "== Python tests"
python -m pytest -q "$@"
