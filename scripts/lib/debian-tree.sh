# Sourced by the scripts that test the module on Debian's own interpreters: makes a minimal Debian
# tree of one architecture under build/, from Debian's testing suite (which carries the newest
# CPythons), and caches it between runs.
#
#   velkor_debian_tree <arch> <dir> <package ...>
#       Makes <dir> (once; again when the package list changes) with debootstrap's first stage
#       (--variant=minbase --foreign) and every downloaded package, the named ones and what they
#       depend on, unpacked with dpkg -x. No maintainer script runs, so the tree needs no chroot
#       to be made: a program of another architecture runs in it as `qemu-<cpu> -L <dir> ...`,
#       one of this machine's as `chroot <dir> ...` (velkor_chroot). Needs root (debootstrap).
#       Of what the maintainer scripts would make, only the certificate bundle is written (pip
#       needs it).
#   velkor_debian_packages <arch> <pattern>
#       Prints the names of the suite's packages for <arch> that match the extended regular
#       expression <pattern> (the whole name), from its package index.
#   velkor_chroot <dir> <command ...>
#       Runs the command inside the tree with /proc mounted there and unmounted after it, and
#       returns the command's status. A script that may be stopped while it runs also calls
#       velkor_unmount_proc <dir> from its EXIT trap.
#
# Environment: VELKOR_DEBIAN_SUITE (default forky), VELKOR_DEBIAN_MIRROR (default
# http://deb.debian.org/debian).

velkor_debian_suite=${VELKOR_DEBIAN_SUITE:-forky}
velkor_debian_mirror=${VELKOR_DEBIAN_MIRROR:-http://deb.debian.org/debian}

velkor_debian_packages() {
  local arch="$1" pattern="$2"
  curl -fsSL "$velkor_debian_mirror/dists/$velkor_debian_suite/main/binary-$arch/Packages.xz" \
    | xz -dc | sed -n 's/^Package: //p' | grep -E -x -- "$pattern" | sort -u
}

velkor_debian_tree() {
  local arch="$1" dir="$2"
  shift 2
  local wanted="$velkor_debian_suite $arch $*"
  if [ -f "$dir/.velkor-tree" ] && [ "$(cat "$dir/.velkor-tree")" = "$wanted" ]; then
    velkor_debian_certificates "$dir"
    return 0
  fi
  if [ "$(id -u)" != 0 ]; then
    echo "error: making a Debian tree needs root (debootstrap)" >&2
    return 1
  fi
  if ! command -v debootstrap >/dev/null 2>&1; then
    echo "error: debootstrap is not installed (Debian: apt-get install debootstrap)" >&2
    return 1
  fi
  # A debootstrap older than the suite has no script of its name; the testing suite is made as
  # unstable is.
  local script=""
  [ -e "/usr/share/debootstrap/scripts/$velkor_debian_suite" ] \
    || script=/usr/share/debootstrap/scripts/sid
  rm -rf -- "$dir"
  mkdir -p "$dir"
  local include
  include=$(IFS=,; echo "$*")
  if ! debootstrap --variant=minbase --foreign --arch="$arch" --include="$include" \
    "$velkor_debian_suite" "$dir" "$velkor_debian_mirror" $script > "$dir.log" 2>&1; then
    tail -n 20 "$dir.log" >&2
    echo "error: debootstrap of $velkor_debian_suite ($arch) failed; its log: $dir.log" >&2
    return 1
  fi
  local deb
  for deb in "$dir"/var/cache/apt/archives/*.deb; do
    dpkg -x "$deb" "$dir"
  done
  rm -f "$dir"/var/cache/apt/archives/*.deb
  velkor_debian_certificates "$dir"
  echo "$wanted" > "$dir/.velkor-tree"
}

# The certificate bundle that ca-certificates' maintainer script would write, from the
# certificates the package ships (when the tree has it and the bundle is missing). Debian's pip
# loads it whenever it starts a session, even with --no-index, and so does ensurepip, which
# `python3 -m venv` runs.
velkor_debian_certificates() {
  local dir="$1" bundle="$1/etc/ssl/certs/ca-certificates.crt"
  if [ -d "$dir/usr/share/ca-certificates" ] && [ ! -s "$bundle" ]; then
    mkdir -p "$(dirname "$bundle")"
    find "$dir/usr/share/ca-certificates" -name '*.crt' -print0 | sort -z | xargs -0 cat > "$bundle"
  fi
}

velkor_chroot() {
  local dir="$1"
  shift
  mkdir -p "$dir/proc"
  mount -t proc proc "$dir/proc" || return 1
  local status=0
  chroot "$dir" "$@" || status=$?
  velkor_unmount_proc "$dir"
  return "$status"
}

velkor_unmount_proc() {
  if mountpoint -q "$1/proc" 2>/dev/null; then umount "$1/proc" 2>/dev/null || umount -l "$1/proc"; fi
}
