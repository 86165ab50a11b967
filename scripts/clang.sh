# Sourced by the scripts that need clang (fuzz.sh): picks the newest clang between
# VORLANE_CLANG_MIN and VORLANE_CLANG_MAX (default 14 to 19) that is installed
# together with its libFuzzer and sanitizer runtimes. When none is, it installs
# the distribution's default clang (the version the `clang` package depends on;
# 14 on Debian 12) if that is in the range, else the newest in the range that apt
# offers, as clang-N and libclang-rt-N-dev.
# Sets vorlane_clang_cc, vorlane_clang_cxx and vorlane_clang_version.

vorlane_clang_min="${VORLANE_CLANG_MIN:-14}"
vorlane_clang_max="${VORLANE_CLANG_MAX:-19}"

# True when clang++-N runs and finds its libFuzzer runtime.
vorlane_clang_usable() {
  local cxx="clang++-$1" runtime
  command -v "$cxx" > /dev/null || return 1
  runtime="$("$cxx" -print-file-name=libclang_rt.fuzzer-x86_64.a 2> /dev/null)" || return 1
  [ -f "$runtime" ] || runtime="$("$cxx" --print-runtime-dir 2> /dev/null)/libclang_rt.fuzzer.a"
  [ -f "$runtime" ]
}

vorlane_find_clang() {
  local version
  for ((version = vorlane_clang_max; version >= vorlane_clang_min; version--)); do
    if vorlane_clang_usable "$version"; then
      vorlane_clang_version="$version"
      return 0
    fi
  done
  return 1
}

if ! vorlane_find_clang; then
  vorlane_sudo=""
  [ "$(id -u)" -ne 0 ] && vorlane_sudo="sudo"
  $vorlane_sudo apt-get update -qq
  vorlane_default_clang="$(apt-cache depends clang 2> /dev/null | sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -n 1)"
  vorlane_candidates=()
  if [ -n "$vorlane_default_clang" ] && [ "$vorlane_default_clang" -ge "$vorlane_clang_min" ] \
    && [ "$vorlane_default_clang" -le "$vorlane_clang_max" ]; then
    vorlane_candidates+=("$vorlane_default_clang")
  fi
  for ((vorlane_candidate = vorlane_clang_max; vorlane_candidate >= vorlane_clang_min; vorlane_candidate--)); do
    vorlane_candidates+=("$vorlane_candidate")
  done
  for vorlane_candidate in "${vorlane_candidates[@]}"; do
    if apt-cache show "clang-$vorlane_candidate" "libclang-rt-$vorlane_candidate-dev" > /dev/null 2>&1; then
      echo "clang: installing clang-$vorlane_candidate and libclang-rt-$vorlane_candidate-dev"
      DEBIAN_FRONTEND=noninteractive $vorlane_sudo apt-get install -y -qq \
        "clang-$vorlane_candidate" "libclang-rt-$vorlane_candidate-dev" > /dev/null
      break
    fi
  done
  if ! vorlane_find_clang; then
    echo "clang: no clang $vorlane_clang_min to $vorlane_clang_max with its libFuzzer runtime, installed or in apt" >&2
    exit 1
  fi
fi
vorlane_clang_cc="clang-$vorlane_clang_version"
vorlane_clang_cxx="clang++-$vorlane_clang_version"
echo "clang: using $("$vorlane_clang_cxx" --version | head -n 1)"
