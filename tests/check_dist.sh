#!/usr/bin/env bash
# Checks the downloads packaging/dist wrote into dist/ as users use them: their checksums,
# the .debs (programs and library: contents, lintian, usage, arm64's under qemu), and the static
# tarballs, whose programs run the "static: yes" cases with no library at all.
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "failed at line $LINENO: $BASH_COMMAND"' ERR
version=$(sed -nE 's/^#define TORVEX_VERSION_(MAJOR|MINOR|PATCH) ([0-9]+)$/\2/p' include/torvex.h | paste -sd.)
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT

(cd dist && sha256sum -c --quiet SHA256SUMS)
[ "$(cd dist && ls | grep -v '^SHA256SUMS$' | xargs)" = "$(cut -c67- dist/SHA256SUMS | sort | xargs)" ]

for arch in amd64 arm64; do
    deb=dist/torvex_${version}_$arch.deb
    [ -f "$deb" ] || { echo "left out: $deb" && continue; }
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ]
    [[ $(dpkg-deb -f "$deb" Depends) =~ ^libc6(:$arch)?\ \(\>=\ 2\.[0-9]+\)$ ]] # all the programs link
    for deb in "$deb" dist/libtorvex1_"${version}_$arch".deb dist/libtorvex-dev_"${version}_$arch".deb; do
        [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ]
        tests/check_package.sh downloaded-deb "$deb" \
            "$([ $arch = arm64 ] && echo "qemu-aarch64 -L /usr/aarch64-linux-gnu" || echo env)"
        echo "ok: $deb"
    done
done

mkdir "$work/empty"
for arch in x86_64 aarch64; do
    name=torvex-$version-linux-$arch
    [ -f "dist/$name.tar.gz" ] || { echo "left out: dist/$name.tar.gz" && continue; }
    tar -xzf "dist/$name.tar.gz" -C "$work"
    [ "$(cd "$work/$name" && find . -type f | sort | xargs)" = "./LICENSE ./README.md ./bin/torvex \
./bin/torvex-apply ./bin/torvex-invert ./include/torvex.h $(printf './lib/cmake/torvex/torvex%s.cmake ' Config \
ConfigVersion Targets-release Targets)./lib/libtorvex.a ./lib/libtorvex.so.$version ./lib/pkgconfig/torvex.pc \
./share/man/man1/torvex-apply.1.gz ./share/man/man1/torvex-invert.1.gz ./share/man/man1/torvex.1.gz \
./share/man/man3/torvex.3.gz" ]
    for tool in torvex torvex-apply torvex-invert; do # no interpreter, no shared library
        ! readelf -lW "$work/$name/bin/$tool" | grep -q INTERP
        ! readelf -dW "$work/$name/bin/$tool" | grep -q NEEDED
    done
    if [ $arch = x86_64 ]; then
        run="$PWD/tests/in_empty_root.sh" emulated=
    else
        run="qemu-aarch64 -L $work/empty" emulated=1
    fi
    bin=$work/$name/bin
    (mkdir "$work/usage-$arch" && cd "$work/usage-$arch" && "$OLDPWD/tests/check_package.sh" usage "$run" "$bin")
    TORVEX_STATIC=1 TORVEX_EMULATED=$emulated tests/cli.sh "$run $bin/torvex" "$run $bin/torvex-apply" "$run $bin/torvex-invert"
    echo "ok: dist/$name.tar.gz"
done
