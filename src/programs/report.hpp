// The exit statuses and every message of the programs, and the trace hooks.
//
// The programs are a handful of free functions in modules, each with its own
// header: the file helpers (files.hpp), the patch format (patch.hpp), the
// block comparison (compare.hpp) and the applier (apply.hpp), driven by three
// small mains, torvex.cpp, torvex-apply.cpp and torvex-invert.cpp.
#pragma once

#include <cstdint>

constexpr int EXIT_DONE = 0;
constexpr int EXIT_FAILED = 1;

// Every message of both tools: one fixed line on standard output, naming no
// file; only a malformed patch's line number varies.
namespace messages
{
constexpr const char *usage = "Usage: torvex.exe original_file new_file output.patch";
constexpr const char *open_failed = "Error opening one of the files.";
constexpr const char *sizes_differ = "Files have different sizes.";
constexpr const char *create_failed = "Error creating patch file.";
constexpr const char *read_failed = "Error reading one of the files...";
constexpr const char *write_failed = "Error writing patch file.";
constexpr const char *alloc_failed = "Error allocating memory.";
constexpr const char *done = "Process ended.";

// torvex-apply's own; the others it shares.
constexpr const char *apply_usage = "Usage: torvex-apply original_file new_file input.patch";
constexpr const char *malformed_at = "Patch is malformed at line %llu.";
constexpr const char *does_not_fit = "Patch does not fit the original file.";
constexpr const char *mismatch = "Original file does not match the patch.";
constexpr const char *already_applied = "Patch already applied.";
constexpr const char *create_new_failed = "Error creating new file.";
constexpr const char *write_new_failed = "Error writing new file.";

// torvex-invert's own; the others it shares.
constexpr const char *invert_usage = "Usage: torvex-invert original_file input.patch output.patch";
} // namespace messages

// Trace hooks at the checkpoints of a run. They are silent on purpose.
inline void debug(const char *) {}
inline void debug(std::int64_t) {}
