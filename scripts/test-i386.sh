#!/usr/bin/env bash
# Builds vorlane for 32-bit x86 and runs the whole suite there: the C++ core tests
# (CTest) and the Python suite (pytest), with Debian 12's own i386 interpreter.
#
# The i386 system is a Debian bookworm root made with debootstrap and kept outside
# the clone (VORLANE_I386_ROOT, default /var/cache/vorlane/i386-root); it is made
# again when its ready stamp is missing. The kernel runs its binaries natively.
# The clone is bind-mounted at /vorlane inside the root; the build goes to
# build/i386 and the module is installed into the venv build/i386-venv, which
# sees Debian's pytest and numpy. Arguments are passed on to pytest.
# Needs root (debootstrap, mount, chroot).
set -euo pipefail

vorlane_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
i386_root="${VORLANE_I386_ROOT:-/var/cache/vorlane/i386-root}"
i386_lock="$i386_root.lock"
debootstrap_stamp="$i386_root/.vorlane-debootstrap-done"
ready_stamp="$i386_root/.vorlane-ready"

# What the build and the suite need from Debian, inside the root. Changing this
# list makes the next run install the difference.
i386_packages=(
  g++ cmake ninja-build libgtest-dev libgmock-dev
  python3 python3-dev python3-venv python3-pytest python3-numpy python3-lxml mypy
)

# Every mount made below lives in a private mount namespace: whatever happens to
# this script, nothing stays mounted on the host, and a root that is deleted can
# never have the clone mounted inside it from this process.
if [ -z "${VORLANE_I386_NAMESPACE:-}" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "test-i386: needs root (debootstrap, mount, chroot)" >&2
    exit 1
  fi
  exec env VORLANE_I386_NAMESPACE=1 unshare --mount --propagation private -- bash "$0" "$@"
fi

# A 32-bit program made by hand (ELF header, one program header, and
# `mov eax,1; mov ebx,7; int 0x80`) must exit with 7 when the kernel runs i386 code.
check_i386_execution() {
  local probe
  probe="$(mktemp)"
  python3 - "$probe" <<'EOF'
import struct, sys
base = 0x08048000
code = bytes.fromhex("b801000000" "bb07000000" "cd80")
size = 52 + 32 + len(code)
header = b"\x7fELF\x01\x01\x01" + b"\0" * 9 + struct.pack(
    "<HHIIIIIHHHHHH", 2, 3, 1, base + 84, 52, 0, 0, 52, 32, 1, 0, 0, 0)
program = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
with open(sys.argv[1], "wb") as out:
    out.write(header + program + code)
EOF
  chmod +x "$probe"
  local status=0
  "$probe" || status=$?
  rm -f "$probe"
  if [ "$status" -ne 7 ]; then
    echo "test-i386: this kernel does not run 32-bit x86 programs (uname -m: $(uname -m))" >&2
    exit 1
  fi
}

# The Debian mirror apt uses on this machine: the first main-archive URI in its
# sources, deb822 or one-line format.
debian_mirror() {
  if [ -n "${VORLANE_DEBIAN_MIRROR:-}" ]; then
    echo "$VORLANE_DEBIAN_MIRROR"
    return
  fi
  local mirror
  mirror="$(
    {
      grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{ for (i = 2; i <= NF; i++) print $i }'
      grep -hsE '^deb[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
        | awk '{ i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ } print $i }'
    } | grep -E '/debian/?$' | head -n 1
  )" || true
  echo "${mirror:-http://deb.debian.org/debian}"
}

# Refuses to go on when anything is mounted inside the root: deleting it then
# would delete the mounted files.
require_nothing_mounted() {
  if awk -v root="$i386_root/" 'index($2 "/", root) == 1 { found = 1 } END { exit !found }' /proc/self/mounts; then
    echo "test-i386: something is still mounted under $i386_root; not touching it" >&2
    exit 1
  fi
}

# Runs a command in the root with a clean environment; setarch makes uname, and
# so CMake and Python's platform module, report i686 instead of the host's x86_64.
in_root() {
  setarch i686 chroot "$i386_root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    DEBIAN_FRONTEND=noninteractive "$@"
}

prepare_root() {
  local started=$SECONDS
  if [ ! -f "$debootstrap_stamp" ]; then
    require_nothing_mounted
    rm -rf "$i386_root"
    if ! command -v debootstrap >/dev/null; then
      echo "test-i386: installing debootstrap"
      apt-get update -qq
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    fi
    local mirror
    mirror="$(debian_mirror)"
    echo "test-i386: debootstrap bookworm i386 from $mirror into $i386_root"
    mkdir -p "$i386_root"
    debootstrap --arch=i386 --variant=minbase bookworm "$i386_root" "$mirror" \
      > "$i386_root.debootstrap.log" 2>&1 \
      || { tail -n 30 "$i386_root.debootstrap.log" >&2; exit 1; }
    touch "$debootstrap_stamp"
  fi
  if [ ! -f "$ready_stamp" ] || [ "$(cat "$ready_stamp")" != "${i386_packages[*]}" ]; then
    echo "test-i386: installing into the root: ${i386_packages[*]}"
    rm -f "$ready_stamp"
    cp /etc/resolv.conf "$i386_root/etc/resolv.conf"
    mount -t proc proc "$i386_root/proc"
    in_root apt-get update -qq
    in_root apt-get install -y -qq --no-install-recommends "${i386_packages[@]}" \
      > "$i386_root.apt.log" 2>&1 \
      || { tail -n 30 "$i386_root.apt.log" >&2; exit 1; }
    in_root apt-get clean
    umount "$i386_root/proc"
    echo "${i386_packages[*]}" > "$ready_stamp"
    echo "test-i386: root prepared in $((SECONDS - started)) s"
  fi
}

mounted=()
unmount_all() {
  local index
  for ((index = ${#mounted[@]} - 1; index >= 0; index--)); do
    umount "${mounted[index]}" || umount -l "${mounted[index]}" || true
  done
}
trap unmount_all EXIT

mount_into_root() {
  local target="$i386_root$1"
  shift
  mkdir -p "$target"
  mount "$@" "$target"
  mounted+=("$target")
}

check_i386_execution
mkdir -p "$(dirname "$i386_root")"
exec 9> "$i386_lock"
flock 9
prepare_root

mount_into_root /proc -t proc proc
mount_into_root /dev --bind /dev
mount_into_root /dev/shm -t tmpfs tmpfs
mount_into_root /tmp -t tmpfs tmpfs
mount_into_root /vorlane --bind "$vorlane_root"

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
