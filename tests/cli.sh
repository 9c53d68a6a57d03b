#!/usr/bin/env bash
# Runs the cases of tests/cli/*.cases (HACKING.md) against the programs, which may be commands
# ("wine torvex.exe"): cli.sh TORVEX TORVEX_APPLY TORVEX_INVERT [FUSE_DISK]. FUSE_DISK mounts a test disk;
# TORVEX_TARGET=windows expects CR LF line ends; TORVEX_STATIC=1 runs only the cases marked "static: yes"
# (the static programs' cases); TORVEX_CASES=REGEX only the cases whose names it matches.
set -u
export TORVEX=$1 TORVEX_APPLY=$2 TORVEX_INVERT=$3 FUSE_DISK=${4:-}
export TORVEX_SOURCE=$(cd "$(dirname "$0")/.." && pwd)
failures=0

# --- Helpers for the cases' fields ---------------------------------------------
# Each run of a program is noted with its status, where a transcript's command runs it.
note_run() { local run="$*"; [ -z "${TORVEX_RUNS:-}" ] || echo "${run//$'\n'/?}" >> "$TORVEX_RUNS"; return "$1"; }
torvex() { $TORVEX "$@"; note_run $? torvex "$@"; }
torvex-apply() { $TORVEX_APPLY "$@"; note_run $? torvex-apply "$@"; }
torvex-invert() { $TORVEX_INVERT "$@"; note_run $? torvex-invert "$@"; }
posix() { [ "${TORVEX_TARGET:-}" != windows ]; }
# Runs a program with at most $1 KiB of address space (set by the empty root's wrapper there).
with_memory() { if [[ $TORVEX == *in_empty_root.sh* ]]; then TORVEX_MEMORY_KIB=$1 "${@:2}"; else (ulimit -v "$1" && "${@:2}"); fi; }
sanitized() { [ -n "${TORVEX_SANITIZED:-}" ]; }
emulated() { [ -n "${TORVEX_EMULATED:-}" ]; } # under qemu-user, which needs address space
extras() { [ -z "${TORVEX_NO_EXTRAS:-}" ]; }   # built with the Linux extras (loop devices)
have_fuse() { [ -e /dev/fuse ] && [ -x "$FUSE_DISK" ]; }
# put FILE OFFSET FORMAT: writes the printf FORMAT's bytes at OFFSET.
put() { printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
# loop [OPTIONS] FILE: prints the name of a loop device over FILE, detached afterwards.
loop() { losetup -f --show "$@" 2> /dev/null | tee -a "$CASE_STATE/loops"; }
# partition FILE START SECTORS: a loop device over FILE with one partition; prints its name (the disk's less "p1").
partition() {
    local d; d=$(loop "$1") && addpart "$d" 1 "$2" "$3" && echo "$d" >> "$CASE_STATE/partitioned" && echo "${d}p1"
}
# fuse_disk FOLDER SIZE FAIL_AT [direct|shrink]: the test disk, mounted there.
fuse_disk() { mkdir -p "$1" && "$FUSE_DISK" "$@" && realpath "$1" >> "$CASE_STATE/mounts"; }
# mount_image IMAGE FOLDER: the file system in IMAGE, mounted there through a loop device.
mount_image() { mkdir -p "$2" && mount -o loop "$1" "$2" && realpath "$2" >> "$CASE_STATE/mounts"; }
# protect NAME=LEVEL...: sets fs.protected_NAME (symlinks, regular, fifos) for the case.
protect() {
    local s
    for s; do sysctl "fs.protected_${s%=*}" | tr -d ' ' >> "$CASE_STATE/sysctl" && sysctl -qw "fs.protected_$s"; done
}
# at FUNCTION ACTION COMMAND...: runs COMMAND, ACTION (shell; "fail": EPERM) at its first FUNCTION call (interpose.cpp).
at() { TORVEX_AT=$1 TORVEX_DO=$2 LD_PRELOAD=$TORVEX_INTERPOSE "${@:3}"; }
interposable() { [ -n "${TORVEX_INTERPOSE:-}" ]; }
# long_path NAME: NAME in a folder over 300 characters down, which "deep" links to.
long_path() {
    local f; f=$(printf 'a-folder-with-a-long-name-%02d/' {1..12}) && mkdir -p "$f" && ln -sfn "$f" deep && echo "$f$1"
}
# readme_example NAME: runs the README's block "<!-- example: NAME -->" on the programs under test (bash -e).
readme_example() {
    local command
    command=$(sed -n "/^<!-- example: $1 -->\$/,/^\`\`\`\$/p" "$TORVEX_SOURCE/README.md" | sed '1,2d;$d')
    [ -n "$command" ] && bash -ec "$(sed -E 's#^(cmake [^&]*&& )+##; s#\./build/release/##g' <<< "$command")"
}
export -f note_run torvex torvex-apply torvex-invert posix with_memory sanitized emulated extras have_fuse put loop partition fuse_disk mount_image at protect \
    interposable long_path readme_example

# --- The runner ----------------------------------------------------------------
as_stored() { if posix; then cat; else sed -z 's/\n/\r\n/g'; fi; }

# Every file under the case's folder but the named ones: name, size, time changed.
list_files() {
    (cd "$1" && find . -xdev -type f -printf '%P\t%s %T@\n' |
        awk -F '\t' 'NR == FNR { named[$0]; next } !($1 in named)' <(printf '%s\n' "${@:2}") - | sort)
}

# check_file LINE: problems with one "file:" line of a case, or nothing.
check_file() {
    local name=${1%% *} rest=${1#* } content
    case $rest in
    absent) [ ! -e "$name" ] || echo " $name was made;" ;;
    written) [ -e "$name" ] || echo " $name is missing;" ;;
    "same as "*) content=$(cat "${rest#same as }" | { [[ $name == *.patch ]] && as_stored || cat; } | od -An -c) ;;&
    "holds "*) content=$(printf "${rest#holds }" | { [[ $name == *.patch ]] && as_stored || cat; } | od -An -c) ;;&
    "same as "* | "holds "*) [ "$(od -An -c "$name" 2> /dev/null)" = "$content" ] ||
        echo " $name: $(head -c 99 "$name" 2> /dev/null | od -An -c | head -2 | tr -s ' \n' ' ');" ;;
    *) echo " bad file line '$1';" ;;
    esac
}

# The transcript as one script: each "$" command's output, standard error, status and
# programs' runs kept apart in $state; "~" helpers run as they are, unchecked.
write_script() {
    local i
    for i in "${!commands[@]}"; do
        if [ "${kinds[i]}" = '$' ]; then
            printf 'export TORVEX_RUNS=%s/%d.runs\n{ %s\n} > %s/%d.out 2> %s/%d.err; echo $? > %s/%d.status\n' \
                "$state" "$i" "${commands[i]}" "$state" "$i" "$state" "$i" "$state" "$i"
        else
            printf 'export TORVEX_RUNS=\n{ %s\n} > /dev/null 2>&1\n' "${commands[i]}"
        fi
    done
}

# What Wine, qemu and the shell (of a program a case ended) say, not the program.
drop_noise() {
    grep -vE '^(wine|qemu[-a-z0-9]*|[0-9a-f]{4}:(err|fixme|warn|trace)):|^(.*: +[0-9]+ +)?(Hangup|Terminated)\b' || true
}

# Problems with "$" command i: its output, standard error, status and its programs' statuses, against the case's.
check_command() {
    local i=$1 out status
    out=$(cat "$state/$i.out" 2> /dev/null; printf .)
    status=$(cat "$state/$i.status" 2> /dev/null || echo "none (cut short)")
    status+=$(grep -v "^${statuses[i]} " "$state/$i.runs" 2> /dev/null | sed 's/^\([0-9]*\) \(.*\)/, \2: \1/' | tr -d '\n')
    [ "$out" = "$(printf '%s' "${expected[i]}" | as_stored; printf .)" ] && [ "$status" = "${statuses[i]}" ] &&
        [ -z "$(drop_noise < "$state/$i.err")" ] && return
    printf '\n  $ %s\n  expected: %s[status %s]\n  actual:   %s[status %s]%s' "${commands[i]//$'\n'/$'\n  > '}" \
        "$(printf '%s' "${expected[i]}" | tr '\n' '|')" "${statuses[i]}" "$(tr -d '\r' < "$state/$i.out" | tr '\n' '|')" \
        "$status" "$(drop_noise < "$state/$i.err" | head -3 | sed 's/^/ (stderr) /' | tr '\n' ' ')"
}

run_case() {
    local state dir i problems="" names=()
    [ -z "${TORVEX_STATIC:-}" ] || [ "${row[static]:-}" = yes ] || return 0
    [[ ${row[case]} =~ ${TORVEX_CASES:-.} ]] || return 0
    state=$(mktemp -d) && dir=$state/case && mkdir "$dir" && export CASE_STATE=$state
    [ -z "${row[in]:-}" ] || mount -t tmpfs -o "size=${row[in]#tmpfs }" tmpfs "$dir" 2> /dev/null ||
        row[needs]="false # a tmpfs"
    if ! (cd "$dir" && bash -c "${row[needs]:-true}") > /dev/null 2>&1; then
        echo "skipped: ${row[case]} (needs ${row[needs]})"
    else
        (cd "$dir" && bash -c "${row[setup]:-true}") > /dev/null 2>&1 || problems+=" setup failed;"
        while read -r file_line; do
            [ -z "$file_line" ] || names+=("$(cd "$dir" && realpath -m --relative-to=. "${file_line%% *}")")
        done <<< "${row[file]:-}"
        list_files "$dir" "${names[@]}" > "$state/before"
        write_script > "$state/script"
        (cd "$dir" && timeout 60 bash "$state/script") > /dev/null 2>&1
        for i in "${!commands[@]}"; do
            [ "${kinds[i]}" != '$' ] || problems+=$(check_command "$i")
        done
        list_files "$dir" "${names[@]}" | diff "$state/before" - > "$state/changed" ||
            problems+=" other files changed: $(grep '^[<>]' "$state/changed" | head -4 | xargs);"
        while read -r file_line; do
            [ -z "$file_line" ] || problems+=$(cd "$dir" && check_file "$file_line")
        done <<< "${row[file]:-}"
        [ -z "${row[check]:-}" ] || (cd "$dir" && bash -c "${row[check]}") > /dev/null 2>&1 ||
            problems+=" check failed;"
        # Wine itself now and then fails to start a program: that case runs once more.
        if [ -n "$problems" ] && [ -z "${again:-}" ] &&
            cat "$state"/*.out 2> /dev/null | grep -q '^Application could not be started'; then
            echo "again: ${row[case]} (Wine could not start a program)" && clean_case && again=1 run_case
            return
        fi
        [ -z "$problems" ] && echo "ok: ${row[case]}" ||
            { echo "FAILED ${row[case]}:$problems" && failures=$((failures + 1)); }
    fi
    clean_case
}

clean_case() {
    [ ! -f "$state/mounts" ] || xargs -r -n1 umount < "$state/mounts"
    [ ! -f "$state/partitioned" ] || xargs -r -I{} delpart {} 1 < "$state/partitioned"
    [ ! -f "$state/loops" ] || xargs -r losetup -d < "$state/loops"
    [ ! -f "$state/sysctl" ] || tac "$state/sysctl" | xargs -r sysctl -qw
    [ -z "${row[in]:-}" ] || umount "$dir" 2> /dev/null
    rm -rf "$state"
}

# Reads the table on standard input and runs each case: its fields, and its transcript ("$" commands, "# status N"
# after one whose programs end so, "> " their next lines, their output; "~" helpers).
run_table() {
    local line field="" value n=-1 count command_line='^([$~]) (.*)$' status_note='^(.*[^ ]) +# status ([0-9]+)$'
    declare -A row=()
    local -a commands=() kinds=() expected=() statuses=()
    while IFS= read -r line; do
        if [[ $line =~ ^(case|needs|static|in|setup|file|check):\ *(.*)$ ]]; then
            field=${BASH_REMATCH[1]} value=${BASH_REMATCH[2]}
            if [ "$field" = case ] && [ -n "${row[case]:-}" ]; then
                run_case
                row=() commands=() kinds=() expected=() statuses=() n=-1
            fi
            row[$field]=${row[$field]:+${row[$field]}$'\n'}$value
        elif [[ $line =~ $command_line ]]; then
            field=transcript n=$((n + 1))
            kinds[n]=${BASH_REMATCH[1]} commands[n]=${BASH_REMATCH[2]} expected[n]="" statuses[n]=0
            [[ ! ${commands[n]} =~ $status_note ]] || commands[n]=${BASH_REMATCH[1]} statuses[n]=${BASH_REMATCH[2]}
        elif [[ $line == '> '* && $field = transcript ]]; then
            commands[n]+=$'\n'${line:2}
        elif [[ $line =~ ^\ +(.*)$ && -n $field && $field != transcript ]]; then
            row[$field]+=$'\n'${BASH_REMATCH[1]}
        elif [[ -z $line || $line == \#* ]]; then
            field=""
        elif [ "$field" = transcript ]; then # "N× LINE": N lines LINE
            [[ $line =~ ^([0-9]+)×\ (.*)$ ]] && line=${BASH_REMATCH[2]} count=${BASH_REMATCH[1]} || count=1
            for ((; count > 0; count--)); do expected[n]+=$line$'\n'; done
        else
            echo "FAILED: the table's line '$line'" && failures=$((failures + 1))
        fi
    done
    [ -z "${row[case]:-}" ] || run_case
}

run_table < <(for table in "$(dirname "$0")"/cli/*.cases; do cat "$table" && echo; done)
[ "$failures" = 0 ]
