// Reading the patch a second time exactly as the check read it, and the
// other means of a run's safety: src/sys/*/reread.cpp. See files.hpp for the
// rule for errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// How a run that reads the patch twice (in place, to a device) reads it
// again, so that every byte written comes from the patch exactly as the check
// read it. A regular patch file of at most MOST_VERIFIED_PATCH bytes is read
// again as it is, each piece verified against what the check read
// (patch_reader's pieces); any other patch is kept whole as the check reads
// it in a private file in the system's temporary folder ($TMPDIR, else /tmp),
// but on Windows, where a pipe cannot be the patch.
constexpr std::int64_t MOST_VERIFIED_PATCH = std::int64_t{60} << 30;
enum class rereading {
    verified,  // read again as it is, every piece checked (copy is nullptr)
    as_is,     // read again as it is (copy is nullptr)
    from_copy, // read again from copy
    no_copy,   // no private file could be made apart from the original
    not_twice, // it cannot be read again (a pipe, on Windows)
};
rereading plan_rereading(FILE *patch, FILE *original, FILE *&copy);
// A fresh key for the pieces' hashes, which no one can foresee.
std::uint64_t get_random_key();
// Lines written to the stream from now on end as the system's text files do
// (CR LF on Windows).
void write_lines_as_text(FILE *stream);
// Keeps every other process from writing the original and the patch while
// the run holds them (on Windows; elsewhere nothing can, and the run checks
// instead). False where another process writes one of them already.
bool keep_writers_out(FILE *original, FILE *patch);
#ifdef TORVEX_TEST_PAUSE
// Only in the test build: where TORVEX_PAUSE names a file, makes it and waits
// until it is gone, so that a test can act between a check and the writing.
void pause_for_test();
#endif
