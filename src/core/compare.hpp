// The block comparison: both inputs compared block by block, front to back,
// and a record written for every byte that differs.
#pragma once

#include "core/patch.hpp"
#include "core/scan.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The unit in which both inputs are read and compared.
constexpr std::size_t BLOCK_SIZE = 0xA00000;

// Blocks are read in pieces of this many bytes, which stay in the processor's
// caches from their reading to their comparison.
constexpr std::size_t PIECE_SIZE = 1 << 20;

// Buffers that reads fill start on a memory page: the system copies into a
// page-aligned buffer far faster on some processors (a third less time on an
// AMD EPYC machine, measured, than 16 bytes into a page as malloc gives).
constexpr std::size_t MEMORY_PAGE = 4096;
inline unsigned char *align_to_page(void *memory)
{
    const auto address = reinterpret_cast<std::uintptr_t>(memory);
    return static_cast<unsigned char *>(memory) +
           (MEMORY_PAGE - address % MEMORY_PAGE) % MEMORY_PAGE;
}

// Compares exactly size bytes of both inputs, block by block, and writes a
// record line for every difference. With map_files, regular files are mapped
// a block at a time (core/map.hpp); else, and where a block cannot be mapped,
// the inputs are read by position, a piece at a time. Either way only where
// they hold data: holes are neither read nor compared where both inputs have
// them. Stops at a read error (also an input that delivers less than size, or
// a fault in a mapping), a failed write, buffers that cannot be had, or a run
// told to stop (keep_going, once per block). Each block's records reach the
// patch before the next block is read, and whole is set to the patch's length
// then: the size line and the records of whole blocks, all that a run that
// stops early keeps.
enum class compare_status { done, read_failed, write_failed, alloc_failed, cancelled };
compare_status compare_blocks(FILE *original, FILE *changed, FILE *patch, std::int64_t size,
                              std::int64_t &whole, bool map_files = false,
                              std::size_t block_size = BLOCK_SIZE);

// Mapping saves the copy that a read makes of every byte, but some systems
// make its faults dear (Wine on one machine: a 1 GiB pair mapped in 4 to 11 s,
// read in 0.6 s). So a run that may map compares its second block of data
// mapped and its third read, timed, and the rest the way that cost less a
// byte: mapped unless that cost over a quarter more.
constexpr int MAPPED_TRIAL_BLOCK = 1, READ_TRIAL_BLOCK = 2; // counted from 0
struct path_trial {
    int blocks = 0; // blocks of data compared so far
    double mapped_seconds = 0, read_seconds = 0;
    std::int64_t mapped_bytes = 0, read_bytes = 0;
};
bool choose_mapping(const path_trial &trial);
void note_block(path_trial &trial, bool mapped, double seconds, std::int64_t bytes);

// Trace hooks at the checkpoints of a run. They are silent on purpose.
inline void debug(const char *) {}
inline void debug(std::int64_t) {}
