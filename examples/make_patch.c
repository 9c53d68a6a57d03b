/* make_patch: makes the patch of two files of the same size with libtorvex,
 * as the torvex program does, showing its progress on standard error.
 *
 *   make_patch original_file new_file output.patch
 *
 * Build it against an installed libtorvex with pkg-config:
 *   cc -std=c99 make_patch.c $(pkg-config --cflags --libs torvex) -o make_patch
 * or with CMake's find_package (examples/CMakeLists.txt). */
#include <stdio.h>
#include <torvex.h>

/* Called as the work goes on; a non-zero return would cancel it. */
static int show_progress(void *user, uint64_t done, uint64_t total)
{
    unsigned percent = total == 0 ? 100u : (unsigned)(done * 100u / total);
    (void)user;
    fprintf(stderr, "\r%3u%%", percent);
    return 0;
}

int main(int argc, char **argv)
{
    torvex_job *job;
    int status;

    if (argc != 4) {
        fprintf(stderr, "Usage: %s original_file new_file output.patch\n", argv[0]);
        return 2;
    }
    job = torvex_job_new();
    if (job == NULL) {
        fprintf(stderr, "%s\n", torvex_message(TORVEX_NO_MEMORY));
        return 1;
    }
    torvex_job_set_progress(job, show_progress, NULL);
    status = torvex_make(job, argv[1], argv[2], argv[3]);
    fprintf(stderr, "\n");
    if (status != TORVEX_OK)
        fprintf(stderr, "make_patch: %s\n", torvex_job_message(job));
    torvex_job_free(job);
    return status == TORVEX_OK ? 0 : 1;
}
