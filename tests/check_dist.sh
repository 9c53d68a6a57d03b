#!/usr/bin/env bash
# Checks the downloads packaging/dist wrote into dist/ as users use them: their checksums,
# the .debs (programs, library, Python module: contents, lintian, usage, the module running the
# README's example over libtorvex1, arm64's under qemu), the JavaScript package running it too,
# and the static tarballs, whose programs run the "static: yes" cases with no library at all.
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

# The Python module (extracted with this machine's libtorvex1, as dpkg lays them out) and the
# JavaScript package (installed from its tarball) run the README's examples.
example() { sed -n "/^<!-- example: $1 -->\$/,/^\`\`\`\$/p" README.md | sed '1,2d;$d' > "$work/$1/$2" && cp -r examples "$work/$1"; }
deb=dist/python3-torvex_${version}_all.deb lib=dist/libtorvex1_${version}_$(dpkg --print-architecture).deb
if [ -f "$deb" ] && [ -f "$lib" ] && [ -x /usr/bin/python3 ]; then
    [ "$(dpkg-deb -f "$deb" Architecture)/$(dpkg-deb -f "$deb" Depends)" = "all/libtorvex1 (>= 1.2.0), python3" ]
    tests/check_package.sh downloaded-deb "$deb" env
    dpkg-deb -x "$deb" "$work/root" && dpkg-deb -x "$lib" "$work/root" && mkdir "$work/python" && example python example.py
    out=$(cd "$work/python" && PYTHONPATH="$work/root/usr/lib/python3/dist-packages" PYTHONDONTWRITEBYTECODE=1 \
        TORVEX_LIBRARY="$(echo "$work"/root/usr/lib/*/libtorvex.so.1)" /usr/bin/python3 example.py)
    [ "$(sed -n '1p;$p' <<< "$out" | xargs)" = "Check.APPLIES Error opening one of the files. status 3" ]
    cmp "$work/python/rebuilt.bin" examples/new.bin
    echo "ok: $deb"
else
    echo "left out: $deb (with $lib, /usr/bin/python3)"
fi
tgz=$PWD/dist/torvex-$version.tgz
if [ -f "$tgz" ]; then
    mkdir "$work/javascript" && example javascript example.mjs && echo '{"type": "module"}' > "$work/javascript/package.json"
    (cd "$work/javascript" && npm install --offline --no-audit --no-fund --silent "$tgz" && node example.mjs > out)
    [ "$(tail -1 "$work/javascript/out")" = 'Patch does not fit the original file. 10' ]
    cmp "$work/javascript/rebuilt.bin" examples/new.bin
    echo "ok: $tgz"
else
    echo "left out: $tgz"
fi

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
