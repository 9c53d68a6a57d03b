// torvex-apply original_file new_file input.patch
//
// Writes new_file from original_file and a patch that torvex made of the two:
// to a new file whole or not at all, or in place where new_file names the
// original itself. The patch and the original are checked before anything is
// written.
#include "programs/entry.hpp"
#include "programs/report.hpp"

int run_program(int argc, char **argv)
{
    if (argc != 4)
        return report_failure(messages::apply_usage);
    return run_job([](torvex_job *job,
                      char **paths) { return torvex_apply(job, paths[1], paths[2], paths[3]); },
                   argv);
}
