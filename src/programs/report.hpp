// What the user reads: the usage lines, and the one line each run ends with,
// which the library gives for its outcome. Only the programs print or end a
// run; everything below them reports what happened and carries on.
#pragma once

#include "torvex.h"

constexpr int EXIT_DONE = 0;
constexpr int EXIT_FAILED = 1;

// Every message is one fixed line on standard output, naming no file; the
// library's own (torvex_message) but for these.
namespace messages
{
constexpr const char *usage = "Usage: torvex.exe original_file new_file output.patch";
constexpr const char *apply_usage = "Usage: torvex-apply original_file new_file input.patch";
constexpr const char *invert_usage = "Usage: torvex-invert original_file input.patch output.patch";
} // namespace messages

// Writes message, the line of a failed run, and gives its exit status.
int report_failure(const char *message);

// Runs call with a job of its own whose run the ending signals stop (the
// process then ends by them, as it would have), and gives the exit status
// after the line the run ends with: 0 for a run that is done (a patch found
// applied already is one), 1 otherwise, or where even that line could not be
// written, for a script must not read success then.
int run_job(int (*call)(torvex_job *job, char **paths), char **paths);
