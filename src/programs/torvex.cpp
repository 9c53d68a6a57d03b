// torvex original_file new_file output.patch
//
// Compares the two files block by block and writes their patch. Nothing
// touches the output path until both inputs are known to be usable.
#include "programs/entry.hpp"
#include "programs/report.hpp"

int run_program(int argc, char **argv)
{
    if (argc != 4)
        return report_failure(messages::usage);
    return run_job([](torvex_job *job,
                      char **paths) { return torvex_make(job, paths[1], paths[2], paths[3]); },
                   argv);
}
