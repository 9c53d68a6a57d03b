// The undo of a patch, for the original it was made for.
#pragma once

#include "core/apply.hpp"

#include <cstdint>
#include <cstdio>

// The undo of a patch: the same size line, then for every record, in order,
// its offset with the original's byte there, so that applying it to the
// patched file gives back the original. Every record's byte must differ from
// its value (torvex records only bytes that differ): one in place already
// means the patch was applied, fully or in part, and is a mismatch.
// Written to a new file at place whole or not at all (new files get the
// permissions of a new file), or to a device or pipe front to back once the
// whole patch is checked. Lines end as torvex writes them on the system.
apply_result invert_to_new_file(FILE *original, std::int64_t size, const target &place,
                                FILE *patch);
apply_result invert_to_device(FILE *original, std::int64_t size, FILE *device, FILE *patch);
