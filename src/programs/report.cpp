// The ends of runs; see report.hpp.
#include "programs/report.hpp"

#include "programs/entry.hpp"

#include <cstdio>

int report_failure(const char *message)
{
    std::puts(message);
    return EXIT_FAILED;
}

int run_job(int (*call)(torvex_job *job, char **paths), char **paths)
{
    torvex_job *job = torvex_job_new();
    if (job == nullptr)
        return report_failure(torvex_message(TORVEX_NO_MEMORY));
    torvex_job_map_files(job, 1); // a program may hold the process's handlers
    stop_job_on_ending_signals(job);
    const int status = call(job, paths);
    stop_job_on_ending_signals(nullptr);
    end_by_caught_signal();
    const bool done = status == TORVEX_OK || status == TORVEX_ALREADY_APPLIED;
    const bool written = std::puts(torvex_job_message(job)) >= 0 && std::fflush(stdout) == 0;
    torvex_job_free(job);
    return done && written ? EXIT_DONE : EXIT_FAILED;
}
