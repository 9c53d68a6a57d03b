// The scan of two spans in memory for the bytes that differ.
#pragma once

#include "core/patch.hpp"

#include <cstddef>
#include <cstdint>

// How the bytes are scanned; each gives the same records. On x86 the widest
// vectors the processor has, up to those asked for; in WebAssembly its
// vectors, unless the portable scan is asked for; the portable scan elsewhere.
enum class scan_path { portable, sse2, avx2 };

// Adds a record for every position where the two spans differ; base is the
// file offset of their first byte.
void compare_buffers(const unsigned char *original, const unsigned char *changed,
                     std::size_t length, std::int64_t base, patch_writer &patch,
                     scan_path path = scan_path::avx2);
