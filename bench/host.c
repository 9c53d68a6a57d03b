/* The library as a host calls it, for the benchmark:
 *   host make A B PATCH     torvex_make, with a progress callback
 *   host apply A NEW PATCH  torvex_apply, the same way
 * Exits 0 where the call returns TORVEX_OK, else prints its line and exits 1. */
#include <stdio.h>
#include <string.h>
#include <torvex.h>

static int count_calls(void *user, uint64_t done, uint64_t total)
{
    (void)done, (void)total;
    ++*(unsigned long *)user;
    return 0;
}

int main(int argc, char **argv)
{
    unsigned long calls = 0;
    torvex_job *job = torvex_job_new();
    int status;
    if (argc != 5 || job == NULL)
        return 2;
    torvex_job_set_progress(job, count_calls, &calls);
    status = strcmp(argv[1], "apply") == 0 ? torvex_apply(job, argv[2], argv[3], argv[4])
                                           : torvex_make(job, argv[2], argv[3], argv[4]);
    if (status != TORVEX_OK)
        printf("%s\n", torvex_job_message(job));
    torvex_job_free(job);
    return status == TORVEX_OK && calls > 0 ? 0 : 1;
}
