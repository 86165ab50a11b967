#!/usr/bin/env bash
# Builds vorlane and the C++ core tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (g++) and runs the whole suite under them: CTest, then
# pytest with the sanitizer runtimes preloaded into the interpreter. Any sanitizer
# report fails the run, leaks included. Uses its own venv (.venv-asan, from the
# same python as .venv) and build directory (build/<tag>-asan), so the module
# installed in .venv is left alone. Arguments are passed on to pytest.
set -euo pipefail
vorlane_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export VORLANE_VENV="${VORLANE_ASAN_VENV:-$vorlane_root/.venv-asan}"
source "$vorlane_root/scripts/setup.sh"
cd "$vorlane_root"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

# Every sanitizer report exits with this status, so a failed run says which kind
# of failure it was (pytest's own statuses are 0 to 5).
sanitizer_exit=86

echo "== building with AddressSanitizer and UndefinedBehaviorSanitizer"
VORLANE_CORE_TESTS=ON VORLANE_BUILD_SUFFIX=-asan \
  VORLANE_CMAKE_ARGS="-Ccmake.define.VORLANE_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo" \
  vorlane_install

asan_common="halt_on_error=1:abort_on_error=0:exitcode=$sanitizer_exit:detect_leaks=1"
asan_common+=":check_initialization_order=1:strict_init_order=1:strict_string_checks=1"
ubsan_common="halt_on_error=1:print_stacktrace=1:exitcode=$sanitizer_exit"

# Both suites run even when the first fails, so one run shows every failure.
echo "== C++ core tests (sanitized)"
ctest_status=0
ASAN_OPTIONS="$asan_common" UBSAN_OPTIONS="$ubsan_common" \
  ctest --test-dir "$vorlane_build_dir" --output-on-failure --no-tests=error --timeout 600 -j2 \
  || ctest_status=$?

# By default pytest captures file descriptor 2 during each test, and a report
# printed there would vanish with the process it ends; --capture=sys leaves the
# descriptor alone, so UndefinedBehaviorSanitizer reports (which go to standard
# error whatever log_path says) reach the log. AddressSanitizer and LeakSanitizer
# reports go to files here, and every file found afterwards fails the run,
# whatever the exit status said (reports from a test's own subprocess included).
report_dir="$vorlane_build_dir/sanitizer-reports"
rm -rf "$report_dir"
mkdir -p "$report_dir"

# The interpreter is not instrumented, so the ASan runtime has to come first in
# the process: it is preloaded, with the UBSan runtime the module links against.
# PYTHONMALLOC=malloc sends every Python object to malloc, so reading or writing
# past the end of a str or list that vorlane touches is caught as well.
preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
echo "== Python tests (sanitized, runtimes preloaded)"
pytest_status=0
LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
  ASAN_OPTIONS="$asan_common:malloc_context_size=2:log_path=$report_dir/asan" \
  LSAN_OPTIONS="suppressions=$vorlane_root/scripts/lsan-interpreter.supp:print_suppressions=0" \
  UBSAN_OPTIONS="$ubsan_common" \
  python -m pytest -q --capture=sys "$@" || pytest_status=$?

shopt -s nullglob
reports=("$report_dir"/*)
if [ ${#reports[@]} -gt 0 ]; then
  for report in "${reports[@]}"; do
    echo "---- $report"
    cat "$report"
  done
  echo "test-sanitize: ${#reports[@]} sanitizer report(s) from the Python suite" \
    "(ctest exit status $ctest_status, pytest exit status $pytest_status)" >&2
  exit 1
fi
if [ "$ctest_status" -ne 0 ] || [ "$pytest_status" -ne 0 ]; then
  echo "test-sanitize: ctest exit status $ctest_status, pytest exit status $pytest_status" >&2
  exit 1
fi
echo "test-sanitize: both suites passed with no sanitizer report"
