// torvex-invert original_file input.patch output.patch
//
// Writes the undo of a patch made by torvex, from the original it was made
// for: applied to the patched file, it gives back the original. Made before
// a patch is applied in place, it lets that be taken back.
#include "programs/entry.hpp"
#include "programs/report.hpp"

int run_program(int argc, char **argv)
{
    if (argc != 4)
        return report_failure(messages::invert_usage);
    return run_job([](torvex_job *job,
                      char **paths) { return torvex_invert(job, paths[1], paths[2], paths[3]); },
                   argv);
}
