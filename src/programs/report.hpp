// What the user reads: every message of the three programs, their exit
// statuses, and the steps that end a run. The rule for errors: the core and
// the system part report what happened and never print nor end a run; only
// the programs choose a message and end a run, through this module. The one
// exception is a fault met inside a mapping, which cannot be returned: the
// system part's handler calls end_on_fault (core/files.hpp), given here.
#pragma once

#include "core/apply.hpp"
#include "core/files.hpp"

constexpr int EXIT_DONE = 0;
constexpr int EXIT_FAILED = 1;

// Every message: one fixed line on standard output, naming no file; only a
// malformed patch's line number varies.
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

// Ends the run with message and status 1.
[[noreturn]] void fatal_error(const char *message);

// Ends the run on a read error of torvex's: the patch cut back to its last
// whole block (see mark_patch_whole), as a fault would end it.
[[noreturn]] void end_with_read_error();

// torvex-apply's and torvex-invert's original and patch, open, and the
// original's size; or the run ended with the open error.
struct applier_inputs {
    FILE *original;
    FILE *patch;
    std::int64_t size;
};
applier_inputs open_applier_inputs(const char *original_path, const char *patch_path);

// Gives the last line of a successful run, and its exit status: a script must
// not read success when even this line could not be written.
int report_done(const char *message);

// Closes the output at place, then gives the one line an applier's run ends
// with, and its exit status: an output that does not close after a good run
// is a write error. The messages for an output that cannot be made or
// written are the program's own.
int close_and_report(target &place, apply_result result, const char *create_failed,
                     const char *write_failed);
