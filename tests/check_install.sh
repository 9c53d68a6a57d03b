#!/usr/bin/env bash
# Installs into a scratch folder, renders the manual page strictly, builds the
# Debian package and checks that both the program and the page are in it.
#   check_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd) source=$(cd "$2" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

cmake --install "$build" --prefix "$stage/usr" > /dev/null
test -x "$stage/usr/bin/torvex"
test -f "$stage/usr/share/man/man1/torvex.1"

warnings=$(groff -man -ww -z "$source/man/torvex.1" 2>&1)
if [ -n "$warnings" ]; then
    echo "groff warns: $warnings"
    exit 1
fi

(cd "$stage" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$stage/package" > /dev/null)
deb=$(ls "$stage"/package/*.deb)
contents=$(dpkg-deb -c "$deb")
grep -q ' ./usr/bin/torvex$' <<< "$contents"
grep -q ' ./usr/share/man/man1/torvex.1$' <<< "$contents"
echo "installed, rendered and packaged: $(basename "$deb")"
