#!/usr/bin/env bash
# Runs a test that needs a disk that really fills up (a test with a line
# "// small disk"): a tmpfs of 8 MiB is mounted at DIR for the run, and the
# test finds it as ORV_SMALL_DISK, its Windows path on Wine's drive Z:. Where
# mounting is refused (not root, or no mount in this container), the test
# runs all the same with the reason in ORV_SMALL_DISK_REFUSED, and skips.
#
#   small_disk.sh DIR WINE_RUN TEST.exe [ARGS...]
set -u
dir=$1
shift
mkdir -p "$dir"
# A disk left mounted by a run that was ended goes first.
if mountpoint -q "$dir"; then
    umount "$dir" 2>/dev/null || umount -l "$dir"
fi
if why=$(mount -t tmpfs -o size=8m,mode=0777 orv_small_disk "$dir" 2>&1); then
    export ORV_SMALL_DISK="Z:${dir//\//\\}"
    bash "$@"
    rc=$?
    # Wine's server may still hold a handle below it for a moment.
    umount "$dir" 2>/dev/null || umount -l "$dir"
    exit $rc
fi
export ORV_SMALL_DISK_REFUSED="no tmpfs could be mounted at $dir: ${why:-refused}"
exec bash "$@"
