#!/usr/bin/env bash
# Checks what users download:   check_package.sh deb BUILD_DIR VERSION
# installs, renders the manual page strictly, makes the .deb and lints it;
#   check_package.sh zip ZIP VERSION DIR
# unpacks a Windows zip into DIR, checks its files, imports and version resource;
#   check_package.sh downloaded-deb DEB RUNNER
# checks a built .deb and runs its programs with RUNNER (env, or qemu-aarch64 -L ...);
#   check_package.sh usage RUNNER FOLDER
# runs the programs in FOLDER with RUNNER.
set -euo pipefail
trap 'echo "failed at line $LINENO: $BASH_COMMAND"' ERR
# usage RUNNER FOLDER: each program in FOLDER, run by RUNNER with no arguments, names itself.
usage() {
    [ "$($1 "$2/torvex")" = 'Usage: torvex.exe original_file new_file output.patch' ]
    [ "$($1 "$2/torvex-apply")" = 'Usage: torvex-apply original_file new_file input.patch' ]
    [ "$($1 "$2/torvex-invert")" = 'Usage: torvex-invert original_file input.patch output.patch' ]
}

# check_deb DEB: the programs and their manual pages are in it, and lintian passes it.
check_deb() {
    local contents tool
    contents=$(dpkg-deb -c "$1")
    for tool in torvex torvex-apply torvex-invert; do
        grep -q " ./usr/bin/$tool\$" <<< "$contents"
        grep -q " ./usr/share/man/man1/$tool.1.gz\$" <<< "$contents"
    done
    lintian --fail-on error,warning "$1" 2> /dev/null
}

case $1 in
deb)
    version=$3 stage=$(mktemp -d) && trap 'rm -rf "$stage"' EXIT
    cmake --install "$2" --prefix "$stage/usr" > /dev/null
    usage env "$stage/usr/bin"
    for tool in torvex torvex-apply torvex-invert; do
        page=$(zcat "$stage/usr/share/man/man1/$tool.1.gz")
        grep -q "^\.TH ${tool^^} 1 .*\"torvex $version\"" <<< "$page"
        [ -z "$(groff -man -ww -z <<< "$page" 2>&1)" ]
    done
    (cd "$2" && cpack -G DEB -B "$stage/package" > /dev/null)
    check_deb "$(echo "$stage"/package/torvex_"$version"_*.deb)" ;;
downloaded-deb)
    stage=$(mktemp -d) && trap 'rm -rf "$stage"' EXIT
    check_deb "$2"
    dpkg-deb -x "$2" "$stage"
    usage "$3" "$stage/usr/bin" ;;
usage)
    usage "$2" "$3" ;;
zip)
    version=$3 dir=$4 top=$(basename "$2" .zip)
    rm -rf "$dir" && mkdir -p "$dir" && (cd "$dir" && cmake -E tar xf "$2")
    [ "$(cd "$dir" && find . -type f | sort | xargs)" = \
        "./$top/LICENSE ./$top/README.md ./$top/torvex-apply.exe ./$top/torvex-invert.exe ./$top/torvex.exe" ]
    for tool in torvex torvex-apply torvex-invert; do
        exe=$dir/$top/$tool.exe
        # Self-contained: it imports only what every Windows has.
        [ "$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name/ {print $3}' | sort -u | xargs)" = \
            "KERNEL32.dll msvcrt.dll" ]
        # The version resource, shown in the file's Properties: each name, then its value.
        info=$(strings -el "$exe" | tr '\n' '|')
        for field in "FileVersion|$version" "ProductVersion|$version" "OriginalFilename|$tool.exe" \
            "LegalCopyright|Copyright (c) 2026 The torvex developers" "FileDescription|$tool:"; do
            grep -qF "|$field" <<< "|$info"
        done
    done ;;
esac
