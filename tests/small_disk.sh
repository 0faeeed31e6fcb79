#!/bin/sh
# A real full disk for the tests, as a small tmpfs (needs root, as the test CA does):
#   small_disk.sh mount DIR [SIZE]   mount SIZE (default 2m) of tmpfs at DIR (made if missing)
#   small_disk.sh unmount DIR        unmount it and remove DIR
set -eu
action="$1"
dir="$2"
size="${3:-2m}"
case "$action" in
mount)
  mkdir -p "$dir"
  if mountpoint -q "$dir"; then umount "$dir"; fi
  mount -t tmpfs -o size="$size",mode=0777 tolvek-small-disk "$dir"
  ;;
unmount)
  if mountpoint -q "$dir"; then umount "$dir"; fi
  rmdir "$dir" 2>/dev/null || true
  ;;
*)
  echo "usage: small_disk.sh mount|unmount DIR [SIZE]"; exit 2 ;;
esac
