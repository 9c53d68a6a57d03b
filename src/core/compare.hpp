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

// Compares exactly size bytes of both inputs, block by block, and writes a
// record line for every difference. Regular files are mapped unless map_files
// is false; other inputs are read into two buffers of block_size bytes. Stops
// at a read error (also an input that delivers less than size), a failed
// write, or buffers that cannot be had. Each block's records reach the patch
// before the next block is read, and the patch is marked whole there
// (mark_patch_whole): a read error keeps only the blocks before it.
enum class compare_status { done, read_failed, write_failed, alloc_failed };
compare_status compare_blocks(FILE *original, FILE *changed, FILE *patch, std::int64_t size,
                              std::size_t block_size = BLOCK_SIZE, bool map_files = true);

// Trace hooks at the checkpoints of a run. They are silent on purpose.
inline void debug(const char *) {}
inline void debug(std::int64_t) {}
