#!/usr/bin/env bash
# Runs a statically linked program in an empty root: the current folder, which holds
# only a case's files, with nothing else but /dev/null and /proc bound in, in a mount
# namespace of its own, and under TORVEX_MEMORY_KIB KiB of address space where that is
# set (this shell could not start under it).   in_empty_root.sh PROGRAM ARGUMENT...
program=.program-$$
[ ! -e dev ] && [ ! -e proc ] || { echo "in_empty_root.sh: dev or proc is in the way" >&2 && exit 125; }
cp "$1" "$program" && mkdir -p dev proc && : > dev/null
unshare --mount --propagation private sh -c \
    'mount --bind /dev/null dev/null && mount --bind /proc proc || exit 125
    [ -z "${TORVEX_MEMORY_KIB:-}" ] || ulimit -v "$TORVEX_MEMORY_KIB"
    exec chroot . "$@"' sh "/$program" "${@:2}"
status=$?
rm -rf "$program" dev proc
exit $status
