#!/usr/bin/env bash
# Checks what users download: check_package.sh usage RUNNER FOLDER (as usage below), or
#   deb BUILD_DIR VERSION: installs, renders the manual pages strictly, makes the .debs and lints them;
#   zip ZIP VERSION DIR: unpacks a Windows zip into DIR, checks its files, imports and version resources;
#   downloaded-deb DEB RUNNER: checks a .deb, runs its programs, if any, with RUNNER (env, qemu-aarch64 -L ...).
set -euo pipefail
trap 'echo "failed at line $LINENO: $BASH_COMMAND"' ERR
# usage RUNNER FOLDER: each program in FOLDER, run by RUNNER with no arguments, names itself.
usage() {
    [ "$($1 "$2/torvex")" = 'Usage: torvex.exe original_file new_file output.patch' ]
    [ "$($1 "$2/torvex-apply")" = 'Usage: torvex-apply original_file new_file input.patch' ]
    [ "$($1 "$2/torvex-invert")" = 'Usage: torvex-invert original_file input.patch output.patch' ]
}

# check_deb DEB: its files are in it (programs, library, building with it, the Python module); lintian passes it.
check_deb() {
    local contents file files
    contents=$(dpkg-deb -c "$1")
    case $(dpkg-deb -f "$1" Package) in
    torvex) files="bin/torvex bin/torvex-apply bin/torvex-invert share/man/man1/torvex.1.gz" ;;
    libtorvex1) files="lib/[^/]+/libtorvex\.so\.1.->.libtorvex\.so\.1\.[0-9.]+" ;;
    python3-torvex) files="lib/python3/dist-packages/torvex/__init__\.py share/doc/python3-torvex/copyright" ;;
    *) files="include/torvex.h lib/[^/]+/libtorvex\.a lib/[^/]+/libtorvex\.so.->.libtorvex\.so\.1
        lib/[^/]+/pkgconfig/torvex.pc lib/[^/]+/cmake/torvex/torvexConfig.cmake share/man/man3/torvex.3.gz" ;;
    esac
    for file in $files; do grep -qE " \./usr/$file\$" <<< "$contents"; done
    lintian --fail-on error,warning "$1" 2> /dev/null
}

case $1 in
deb)
    version=$3 stage=$(mktemp -d) && trap 'rm -rf "$stage"' EXIT
    cmake --install "$2" --prefix "$stage/usr" > /dev/null
    usage env "$stage/usr/bin"
    for page in torvex.1 torvex-apply.1 torvex-invert.1 torvex.3; do
        text=$(zcat "$stage/usr/share/man/man${page##*.}/$page.gz") title=${page%.*}
        grep -q "^\.TH ${title^^} ${page##*.} .*\"torvex $version\"" <<< "$text"
        [ -z "$(groff -man -ww -z <<< "$text" 2>&1)" ]
    done
    (cd "$2" && cpack -G DEB -B "$stage/package" > /dev/null)
    for deb in torvex libtorvex1 libtorvex-dev; do check_deb "$(echo "$stage/package/${deb}_${version}"_*.deb)"; done ;;
downloaded-deb)
    stage=$(mktemp -d) && trap 'rm -rf "$stage"' EXIT
    check_deb "$2"
    [ "$(dpkg-deb -f "$2" Package)" = torvex ] || exit 0
    dpkg-deb -x "$2" "$stage"
    usage "$3" "$stage/usr/bin" ;;
usage) usage "$2" "$3" ;;
zip)
    version=$3 dir=$4 top=$(basename "$2" .zip)
    rm -rf "$dir" && mkdir -p "$dir" && (cd "$dir" && cmake -E tar xf "$2")
    [ "$(cd "$dir" && find . -type f | sort | xargs)" = \
        "./$top/LICENSE ./$top/README.md ./$top/include/torvex.h ./$top/lib/libtorvex.dll.a \
./$top/torvex-apply.exe ./$top/torvex-invert.exe ./$top/torvex.dll ./$top/torvex.exe" ]
    for exe in "$dir/$top"/*.exe "$dir/$top/torvex.dll"; do
        # Self-contained: it imports only what every Windows has.
        [ "$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name/ {print $3}' | sort -u | xargs)" = \
            "KERNEL32.dll msvcrt.dll" ]
    done
    for tool in torvex torvex-apply torvex-invert; do
        # The version resource, shown in the file's Properties: each name, then its value.
        info=$(strings -el "$dir/$top/$tool.exe" | tr '\n' '|')
        for field in "FileVersion|$version" "ProductVersion|$version" "OriginalFilename|$tool.exe" \
            "LegalCopyright|Copyright (c) 2026 The torvex developers" "FileDescription|$tool:"; do
            grep -qF "|$field" <<< "|$info"
        done
    done ;;
esac
