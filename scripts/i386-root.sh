# Sourced by test-i386.sh and build-wheel-i686.sh: the Debian 12 i386 root they
# build and test in, and the private mount namespace they work in.
#
# The root is a Debian bookworm system made with debootstrap and kept outside the
# clone (VORLANE_I386_ROOT, default /var/cache/vorlane/i386-root); it is made again
# when its ready stamp is missing. The kernel runs its binaries natively. The
# clone is bind-mounted at /vorlane inside the root. Needs root (debootstrap,
# mount, chroot). A script uses it as:
#   source scripts/i386-root.sh; i386_enter_namespace "$0" "$@"; i386_mount
#   in_root /bin/bash -c '...'

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

# Called first by the script that sources this file, with its own path and
# arguments: runs that script again inside a private mount namespace. Every mount
# made afterwards lives there: whatever happens to the script, nothing stays
# mounted on the host, and a root that is deleted can never have the clone
# mounted inside it from this process.
i386_enter_namespace() {
  local script="$1"
  shift
  if [ -z "${VORLANE_I386_NAMESPACE:-}" ]; then
    if [ "$(id -u)" -ne 0 ]; then
      echo "i386: needs root (debootstrap, mount, chroot)" >&2
      exit 1
    fi
    exec env VORLANE_I386_NAMESPACE=1 unshare --mount --propagation private -- bash "$script" "$@"
  fi
}

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
    echo "i386: this kernel does not run 32-bit x86 programs (uname -m: $(uname -m))" >&2
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
    echo "i386: something is still mounted under $i386_root; not touching it" >&2
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
      echo "i386: installing debootstrap"
      apt-get update -qq
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    fi
    local mirror
    mirror="$(debian_mirror)"
    echo "i386: debootstrap bookworm i386 from $mirror into $i386_root"
    mkdir -p "$i386_root"
    debootstrap --arch=i386 --variant=minbase bookworm "$i386_root" "$mirror" \
      > "$i386_root.debootstrap.log" 2>&1 \
      || { tail -n 30 "$i386_root.debootstrap.log" >&2; exit 1; }
    touch "$debootstrap_stamp"
  fi
  if [ ! -f "$ready_stamp" ] || [ "$(cat "$ready_stamp")" != "${i386_packages[*]}" ]; then
    echo "i386: installing into the root: ${i386_packages[*]}"
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
    echo "i386: root prepared in $((SECONDS - started)) s"
  fi
}

mounted=()
unmount_all() {
  local index
  for ((index = ${#mounted[@]} - 1; index >= 0; index--)); do
    umount "${mounted[index]}" || umount -l "${mounted[index]}" || true
  done
}

mount_into_root() {
  local target="$i386_root$1"
  shift
  mkdir -p "$target"
  mount "$@" "$target"
  mounted+=("$target")
}

# Checks that i386 code runs, prepares the root under its lock (held until the
# script ends) and mounts what the build needs; every mount goes when the script
# ends.
i386_mount() {
  check_i386_execution
  mkdir -p "$(dirname "$i386_root")"
  exec 9> "$i386_lock"
  flock 9
  prepare_root
  trap unmount_all EXIT
  mount_into_root /proc -t proc proc
  mount_into_root /dev --bind /dev
  mount_into_root /dev/shm -t tmpfs tmpfs
  mount_into_root /tmp -t tmpfs tmpfs
  mount_into_root /vorlane --bind "$vorlane_root"
}
