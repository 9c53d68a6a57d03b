// Mapping the inputs' blocks, the programs' fast path for regular files:
// src/sys/*/map.cpp. Page-cache pages are then compared where they lie, with
// no copy (a read copies every byte once more: measured here, 1 GiB of
// page-cached pairs compared in 0.14 s read against 0.08 s mapped). A page
// that cannot be read through a mapping (a file that shrank, a disk that
// failed) faults instead of returning an error, so a mapped block is only
// compared under guard_faults. See files.hpp for the rule for errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct mapped_block {
    void *address;
    std::size_t length;
    const unsigned char *data; // the first byte asked for
};
// False where the system or the input has no mappings (anything but a
// regular file, or a system whose mapped pages are known to cost more).
bool can_map(FILE *stream);
// Maps length bytes from offset; the data stays valid until unmap_block.
// False where the mapping fails: the caller then reads instead.
bool map_block(FILE *stream, std::int64_t offset, std::size_t length, mapped_block &block);
void unmap_block(mapped_block &block);

// What judges whether mapping pays (see choose_mapping): a steady clock, in
// seconds; and the memory pages that lie wholly in [pages, pages + length)
// given back to the system, their bytes lost (the read trial's pieces, where
// mapping wins: memory stays at the mapped path's own).
double get_seconds();
void release_pages(void *pages, std::size_t length);

// Runs body(context); false where it met a fault in a mapping, which ends it
// there. body must hold nothing that needs releasing when it is cut short
// (no destructor runs). Meanwhile the process's handler for such faults is
// the library's, the one before restored once no call holds it: a fault
// outside a guarded body goes on to the one before.
bool guard_faults(void (*body)(void *context), void *context);
