#!/usr/bin/env bash
# The house rules, checked (tests/run runs this first): the format of every
# source; system headers only in the system part (src/sys) and the entry point;
# the layers: the core (src/core) includes nothing of the system part or the
# programs (src/programs), the system part nothing of the programs; one
# version, include/torvex.h's, which the changelog and the README repeat; every
# status of torvex.h in the JavaScript package, with its value, and explained by the page.
# Prints each rule broken, and exits 1 if any is.
cd "$(dirname "$0")/.." || exit 1
broken=0
report() { echo "gate: $1" && broken=1; }

sources=$(find src tests -name '*.cpp' -o -name '*.hpp' | sort)
unformatted=$(clang-format --dry-run $sources 2>&1 | grep -oE '^[^:]+\.[ch]pp' | sort -u | xargs)
[ -z "$unformatted" ] || report "not in the house format (clang-format -i): $unformatted"

system='#include <(unistd|fcntl|dirent|dlfcn|io|windows|direct)\.h>|#include <(sys|linux|asm)/'
outside=$(grep -lE "$system" $(find src -name '*.[ch]pp' ! -path 'src/sys/*' ! -name entry.cpp) | xargs)
[ -z "$outside" ] || report "system headers outside src/sys and the entry point: $outside"

from_core=$(grep -lE '# *include *("(\.\./)*(sys|programs)|<programs)/' $(find src/core -name '*.[ch]pp') | xargs)
[ -z "$from_core" ] || report "src/core includes from src/sys or src/programs: $from_core"
from_sys=$(grep -lE '# *include *["<](\.\./)*programs/' $(find src/sys -name '*.[ch]pp') | xargs)
[ -z "$from_sys" ] || report "src/sys includes from src/programs: $from_sys"

version=$(sed -nE 's/^#define TORVEX_VERSION_(MAJOR|MINOR|PATCH) ([0-9]+)$/\2/p' include/torvex.h | paste -sd.)
head -1 packaging/debian/changelog | grep -q "^torvex ($version) " ||
    report "the changelog's first entry is not version $version"
others=$(grep -oE 'torvex[_-][0-9]+\.[0-9]+\.[0-9]+' README.md | grep -vE "[_-]$version\$" | sort -u | xargs)
[ -z "$others" ] || report "the README names another version than $version: $others"
while read -r name value; do
    grep -qE "[ {]$name: $value," web/module/core.js || report "the package's STATUS lacks $name: $value"
    grep -qF "[STATUS.$name]:" web/page.js || report "the page does not explain the status $name"
done < <(sed -nE 's/^ +TORVEX_([A-Z_]+) = ([0-9]+),? .*/\1 \2/p' include/torvex.h | grep . || echo 'none in torvex.h' 0)
exit $broken
