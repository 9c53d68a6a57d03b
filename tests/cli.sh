#!/usr/bin/env bash
# Runs both tools as a script would, each case in a fresh folder, and checks the exit
# status, the message, what was made, and that the inputs are untouched.
#   cli.sh TORVEX APPLY [FUSE_DISK]
# (TORVEX and APPLY: commands, for example "wine torvex.exe"; FUSE_DISK mounts a disk
# whose reads fail part way). TORVEX_TARGET=windows expects CR LF line ends in messages
# and patches, and skips POSIX-only cases.
set -u
torvex=$1 apply=$2 fuse_disk=${3:-} failures=0
posix='[ "${TORVEX_TARGET:-}" != windows ]'
as_stored() { if [ "${TORVEX_TARGET:-}" = windows ]; then sed -z 's/\n/\r\n/g'; else cat; fi; }

# check NAME SETUP ARGS STATUS MESSAGE MADE [NEEDS [PREFIX]]
# SETUP makes the inputs; MADE is what the file $made must hold: a printf format,
# @FILE for the bytes of FILE, or - where it must not exist. The case is skipped where
# the shell test NEEDS fails. PREFIX runs in the tool's own shell, just before it; no
# run may last a minute. Set for one case: tool (default torvex), inputs (default
# "a b"), made (default out.patch), where (the folder for the case's folder).
check() {
    local dir problems="" status tool=${tool:-$torvex} inputs=${inputs:-a b} made=${made:-out.patch}
    dir=$(mktemp -d ${where:+-p "$where"})
    (cd "$dir" && eval "${7:-true}") > /dev/null 2>&1 || { echo "skipped: $1" && rm -rf "$dir" && return; }
    (cd "$dir" && eval "$2" && stat -c '%n %s %y' $inputs > .inputs) || problems+=" setup failed;"
    (cd "$dir" && eval "${8:-} timeout 60 $tool $3" > .out)
    status=$?
    [ "$status" = "$4" ] || problems+=" status $status;"
    printf '%s' "${5:+$5$'\n'}" | as_stored | cmp -s - "$dir/.out" || problems+=" printed '$(cat "$dir/.out")';"
    (cd "$dir" && stat -c '%n %s %y' $inputs | cmp -s - .inputs) || problems+=" inputs changed;"
    if [ "$6" = - ]; then [ ! -e "$dir/$made" ] || problems+=" $made was made;"
    elif [ "${6:0:1}" = @ ]; then cmp -s "$dir/${6:1}" "$dir/$made" || problems+=" $made differs;"
    elif ! printf "$6" | { [ "$made" = out.patch ] && as_stored || cat; } | cmp -s - "$dir/$made"; then
        problems+=" $made: $(head -c 99 "$dir/$made");"; fi
    rm -rf "$dir"
    [ -z "$problems" ] && echo "ok: $1" || { echo "FAILED $1:$problems" && failures=$((failures + 1)); }
}

ended='Process ended.' usage='Usage: torvex.exe original_file new_file output.patch'
open_failed='Error opening one of the files.' create_failed='Error creating patch file.'
two='printf abc > a && printf abd > b'
put='put() { printf "$3" | dd of=$1 bs=1 seek=$2 conv=notrunc status=none; }'
# 12 MiB that differ in the last 16 bytes of block 0 and everywhere after (records
# reach the patch mid-block), against a disk whose reads fail from 11 MiB on.
bad_setup="truncate -s 12M a && : > b && yes | dd of=a bs=1M seek=10485744 oflag=seek_bytes conv=notrunc \
    count=2 iflag=fullblock status=none"
bad_disk="[ -e /dev/fuse ] && [ -x '$fuse_disk' ]" # read through views under Wine
mount="mkdir m && trap 'fusermount3 -u m' EXIT && '$fuse_disk' m 12582912 11534336"

check worked_example 'printf ABCD > a && printf ABXD > b' 'a b out.patch' 0 "$ended" '4\n2:58\n'
check empty ': > a && : > b' 'a b out.patch' 0 "$ended" '0\n'
check offsets_past_four_gibibytes "truncate -s 4294967312 a b && $put && put b 5 '\\001' && put b 2147483647 '\\200' \
    && put b 2147483648 '\\177' && put b 4294967295 '\\377' && put b 4294967296 '\\n' && put b 4294967311 '\\020'" \
    'a b out.patch' 0 "$ended" '100000010\n5:1\n7FFFFFFF:80\n80000000:7F\nFFFFFFFF:FF\n100000000:A\n10000000F:10\n'
check block_devices "truncate -s 1M a b && $put && put b 777 B" '$A $B out.patch' 0 "$ended" '100000\n309:42\n' \
    "$posix && losetup -f" 'A=$(losetup -f --show a) && B=$(losetup -f --show b) && trap "losetup -d $A $B" EXIT && '
# Read through a mapping (a view on Windows), or, where it cannot be mapped, by read
# calls. Wine emulates views of such a file by reading it, and fails no read: POSIX only.
for how in mapped direct; do
    check "read_error_$how" "$bad_setup" 'a m/disk out.patch' 1 'Error reading one of the files...' \
        "C00000\n$(printf '9FFFF%X:0\\n' {0..15})" "$([ $how = direct ] && echo "$posix &&") $bad_disk" \
        "$mount ${how/mapped/} && "
done
# An input that shrinks while its block is compared: the block's records are not kept.
check read_error_input_shrinks "yes | head -c 1M > a && : > b" 'a m/disk out.patch' 1 \
    'Error reading one of the files...' '100000\n' "$bad_disk" "${mount/12582912 11534336/1048576 2097152 shrink} && "
check no_arguments "$two" '' 1 "$usage" -
check four_arguments "$two" 'a b out.patch extra' 1 "$usage" -
check first_missing "$two" 'missing b out.patch' 1 "$open_failed" -
check sizes_differ_keep_old_patch 'printf abc > a && printf abcd > b && printf old > out.patch' 'a b out.patch' 1 \
    'Files have different sizes.' 'old'
check sizes_differ_original_longer 'printf abcd > a && printf abc > b' 'a b out.patch' 1 'Files have different sizes.' -
check output_folder_missing "$two" 'a b nowhere/out.patch' 1 "$create_failed" -
check output_symlink_to_new "$two && ln -s b link" 'a b link' 1 "$create_failed" - "$posix"
check output_hard_link_to_original "$two && ln a hard" 'a b hard' 1 "$create_failed" -
# A loop device and the file behind it are one input, whichever is named where.
loop='L=$(losetup -f --show a) && trap "losetup -d $L" EXIT && '
check output_loop_device_over_original 'truncate -s 1M a b' 'a b $L' 1 "$create_failed" - "$posix && losetup -f" "$loop"
check output_backs_input_loop_device 'truncate -s 1M a b' '$L b a' 1 "$create_failed" - "$posix && losetup -f" "$loop"
# 1796 bytes of patch against a 1 KiB limit: what fits is kept.
check file_size_limit "head -c 512 /dev/zero > a && { head -c 256 /dev/zero; head -c 256 /dev/zero | tr '\\0' x; } > b" \
    'a b out.patch' 1 'Error writing patch file.' "200\n$(printf '%X:78\\n' {256..400})191:7" "$posix" 'ulimit -f 1 && '
where=/dev/shm check offsets_near_2_63 "truncate -s 9223372036849531694 a b && $put && put b 9223372036849531690 x" \
    'a b out.patch' 0 "$ended" '7FFFFFFFFFAFFB2E\n7FFFFFFFFFAFFB2A:78\n' "$posix && [ \$(stat -f -c %T .) = tmpfs ]"
# A full disk, found after the first block (its records bypass the stream's
# buffer) before the read error in the second, or, with no block, at the close.
check output_disk_full "truncate -s 12M a && : > b && yes | head -c 1M | dd of=a conv=notrunc status=none" \
    'a m/disk /dev/full' 1 'Error writing patch file.' - "$posix && $bad_disk" "$mount && "
check output_disk_full_empty ': > a && : > b' 'a b /dev/full' 1 'Error writing patch file.' - "$posix"
check message_unwritable "$two" 'a b out.patch > /dev/full' 1 '' '3\n2:64\n' "$posix"
check input_is_folder "$two && mkdir folder" 'folder b out.patch' 1 "$open_failed" -
check input_is_fifo_without_writer "$two && mkfifo fifo" 'a fifo out.patch' 1 "$open_failed" - "$posix"
check input_is_nul_device "$two" 'NUL b out.patch' 1 "$open_failed" - # the Windows null device
# Too little address space for the block buffers or the mappings.
check allocation_fails 'head -c 11M /dev/zero > a && cp a b' 'a b out.patch' 1 'Error allocating memory.' 'B00000\n' \
    "$posix && [ -z \"\${TORVEX_SANITIZED:-}\" ]" 'ulimit -v 12288 && '

# torvex-apply: a is the original, b the new file, p the patch.
ap() { tool=$apply inputs=${inputs:-a p} made=${made:-b} check "$@"; }
abcd='printf ABCD > a && printf old > b && printf'
read_failed='Error reading one of the files...' write_failed='Error writing new file.'
ap apply_usage "$abcd ''> p" 'a b' 1 'Usage: torvex-apply original_file new_file input.patch' old
ap apply_to_new_file "$abcd '4\n2:58\n' > p" 'a b p' 0 "$ended" ABXD
ap apply_crlf_patch "$abcd '4\r\n2:58\r\n' > p" 'a b p' 0 "$ended" ABXD
made=a inputs=p ap apply_already_applied "printf ABXD > a && printf '4\n2:58\n' > p" 'a a p' 0 'Patch already applied.' ABXD
made=a inputs=p ap apply_finishes_cut_short_run "printf AXCD > a && printf '4\n1:58\n2:58\n' > p" 'a a p' 0 "$ended" AXXD
ap apply_other_original "printf ABXD > a && printf old > b && printf '4\n1:58\n2:58\n' > p" 'a b p' 1 \
    'Original file does not match the patch.' old
ap apply_malformed "$abcd '4\n2:5' > p" 'a b p' 1 'Patch is malformed at line 2.' old
ap apply_does_not_fit "$abcd '5\n' > p" 'a b p' 1 'Patch does not fit the original file.' old
ap apply_new_file_is_patch "$abcd '4\n' > p" 'a p p' 1 'Error creating new file.' old
ap apply_to_null_device "$abcd '4\n2:58\n' > p" 'a /dev/null p' 0 "$ended" old "$posix"
made=a inputs=p ap apply_in_place_refuses_pipe "$abcd '4\n2:58\n' > p" 'a a <(cat p)' 1 "$open_failed" ABCD "$posix"
ap apply_from_pipe "$abcd '4\n2:58\n' > p" 'a b <(cat p)' 0 "$ended" ABXD "$posix"
# Failures leave an existing new file as it was: a read error, a full disk, a size limit.
inputs=p ap apply_read_error "printf old > b && printf 'C00000\n0:1\n' > p" 'm/disk b p' 1 "$read_failed" old \
    "$bad_disk" "$mount && "
small=$(mktemp -d) && mount -t tmpfs -o size=256k tmpfs "$small" 2> /dev/null && trap 'umount "$small"; rmdir "$small"' EXIT
where=$small ap apply_disk_full "yes | head -c 200K > a && printf old > b && printf '32000\n' > p" 'a b p' 1 \
    "$write_failed" old "$posix && mountpoint -q '$small'"
ap apply_file_size_limit "head -c 4096 /dev/zero > a && printf old > b && printf '1000\n' > p" 'a b p' 1 \
    "$write_failed" old "$posix" 'ulimit -f 1 && '
made=a inputs=p ap apply_in_place_on_loop_device "truncate -s 1M a expect && $put && put expect 777 B && \
    printf '100000\n309:42\n' > p" 'a $L p' 0 "$ended" @expect "$posix && losetup -f" "$loop"
# Holes kept: 4 KiB of data in 64 MiB stays 4 KiB.
ap apply_keeps_holes "truncate -s 64M a expect && $put && put a 1048576 x && put expect 1048576 y && \
    printf '4000000\n100000:79\n' > p" 'a b p && [ $(du -k b | cut -f1) -le 8 ]' 0 "$ended" @expect "$posix"
[ "$failures" = 0 ]
