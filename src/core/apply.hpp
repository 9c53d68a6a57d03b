// The applier: writes the new file from the original and a patch (the undo
// is in invert.hpp). The patch is read front to back and
// each record checked against the original's byte before it is used: torvex
// records only bytes that differ, so in the original no record's byte is in
// place yet; every record's byte in place means the patch was applied
// already; records in place up to some point and none after it mean an
// in-place run that was cut short, which is finished. Anything else is
// another original.
#pragma once

#include "core/files.hpp"

#include <cstdint>
#include <cstdio>

enum class apply_status {
    applied,
    already_applied,
    malformed,    // at line
    does_not_fit, // the size line or an offset does not fit the original
    mismatch,     // the original is not the one the patch was made from
    read_failed,
    write_failed,
    create_failed,
    alloc_failed,
    cancelled,      // the run was told to stop (keep_going)
    partly_applied, // check_patch: records in place up to a point, none after it
};

struct apply_result {
    apply_status status;
    std::uint64_t line; // where the patch is malformed
};

// Each returns what became of the run. Where the status is neither applied
// nor already_applied, the new file was not written, with one exception: an
// in-place run whose writes fail part way has written the records before the
// failure, in order, and a later run finishes it.

// Writes only the recorded bytes into target, which holds the original's
// bytes (the very file, opened for writing), then flushes them to the disk.
// The patch is read and checked whole first, then read again as again says
// (see plan_rereading), from copy where there is one, as it is applied. A
// patch that changed between the readings, or an original whose size changes
// under the run, is a read error.
apply_result apply_in_place(FILE *original, std::int64_t size, FILE *target, FILE *patch,
                            rereading again, FILE *copy);

// Writes the new file in place's folder whole or not at all: a copy of the
// original, holes kept, with the records applied, flushed to the disk, then
// put in place. One pass over the patch.
apply_result apply_to_new_file(FILE *original, std::int64_t size, const target &place, FILE *patch);

// Reads the whole patch against the original and writes nothing: applied
// where it applies, already_applied, partly_applied (an in-place run cut
// short), or the first fault, as an apply would meet it.
apply_result check_patch(FILE *original, std::int64_t size, FILE *patch);

// Writes the new file front to back into a device (/dev/null keeps nothing),
// once the patch has been checked whole, as in place.
apply_result apply_to_device(FILE *original, std::int64_t size, FILE *device, FILE *patch,
                             rereading again, FILE *copy);
