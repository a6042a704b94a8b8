#!/usr/bin/env bash
# A minimal Debian system made by debootstrap, and commands run inside it.
#
#   debian-root.sh create ROOT SUITE SCRIPT MIRROR "PACKAGES"
#       makes ROOT (once; several makes may ask at the same time): SUITE from MIRROR with
#       debootstrap's SCRIPT (sid serves every suite newer than the script set knows) and PACKAGES
#   debian-root.sh run ROOT [--bind DIR]... -- COMMAND...
#       runs COMMAND in ROOT, in the current folder, in a private mount namespace: every DIR is
#       mounted at its own path, so that paths mean the same inside and out, and nothing mounted
#       outlives the command
set -euo pipefail

create() {
  local root=$1 suite=$2 script=$3 mirror=$4 packages=$5
  mkdir -p "$(dirname "$root")"
  exec 9>"$root.lock"
  flock 9
  [ -e "$root/.complete" ] && return 0
  rm -rf "$root.new"
  # Release files of a suite under development may be near their Valid-Until; debootstrap does not
  # read it, and apt is not used inside.
  if ! debootstrap --variant=minbase --include="${packages// /,}" "$suite" "$root.new" "$mirror" \
      "/usr/share/debootstrap/scripts/$script" >"$root.log" 2>&1; then
    tail -n 30 "$root.log"
    echo "debian-root.sh: debootstrap $suite failed; its log is $root.log" >&2
    return 1
  fi
  touch "$root.new/.complete"
  rm -rf "$root"
  mv "$root.new" "$root"
}

run() {
  local root=$1
  shift
  local binds=()
  while [ "${1-}" = --bind ]; do
    binds+=("$(realpath "$2")")
    shift 2
  done
  [ "${1-}" = -- ] && shift
  [ -e "$root/.complete" ] || { echo "debian-root.sh: $root is not made" >&2; return 1; }
  # The root is a mount point of its own, so that unshare works inside as well.
  exec unshare --mount --propagation private -- bash -c '
    set -e
    root=$1 cwd=$2 nbinds=$3
    shift 3
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
    # The host'"'"'s name resolution, trust store and pip configuration, read-only: pip reaches the
    # index as it does outside.
    for shared in /etc/resolv.conf /etc/ssl/certs /etc/pip.conf "$HOME/.config/pip"; do
      [ -e "$shared" ] || continue
      if [ -d "$shared" ]; then mkdir -p "$root$shared"; else mkdir -p "$(dirname "$root$shared")"; touch "$root$shared"; fi
      mount --bind "$shared" "$root$shared"
      mount -o remount,bind,ro "$root$shared"
    done
    for ((i = 0; i < nbinds; i++)); do
      mkdir -p "$root$1"
      mount --bind "$1" "$root$1"
      shift
    done
    exec chroot "$root" /bin/sh -c "cd \"\$0\" && exec env -u LD_LIBRARY_PATH -u LD_PRELOAD -u PYTHONHOME \
      -u VIRTUAL_ENV PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \"\$@\"" "$cwd" "$@"
  ' debian-root "$root" "$PWD" "${#binds[@]}" "${binds[@]}" "$@"
}

if [ "$(id -u)" != 0 ]; then
  exec sudo --preserve-env "$0" "$@"
fi
command=${1-}
shift || true
case $command in
  create) create "$@" ;;
  run) run "$@" ;;
  *) sed -n '2,10p' "$0" >&2; exit 2 ;;
esac
