// The WebAssembly module's one entry (the worker, web/worker.js, calls it):
// a call of the C interface by its task's name, whose outcome stays for the
// worker to read. Line numbers cross as doubles, exact up to 2^53.
#include "torvex.h"

#include <cstring>

namespace
{
int status = TORVEX_OK;
double line = 0;
char message[64] = {};
} // namespace

extern "C" {
int run_task(const char *task, const char *first, const char *second, const char *third)
{
    torvex_job *job = torvex_job_new();
    if (job == nullptr)
        status = TORVEX_NO_MEMORY;
    else if (std::strcmp(task, "make") == 0)
        status = torvex_make(job, first, second, third);
    else if (std::strcmp(task, "apply") == 0)
        status = torvex_apply(job, first, second, third);
    else if (std::strcmp(task, "invert") == 0)
        status = torvex_invert(job, first, second, third);
    else
        status = torvex_check(job, first, second);
    line = job != nullptr ? static_cast<double>(torvex_job_line(job)) : 0;
    std::strncpy(message, job != nullptr ? torvex_job_message(job) : torvex_message(status),
                 sizeof message - 1);
    torvex_job_free(job);
    return status;
}

const char *task_message()
{
    return message;
}

double task_line()
{
    return line;
}
}
