// torvex original_file new_file output.patch
//
// The order of a run: check the arguments, open and measure both inputs,
// create the patch file, compare block by block, close everything. Nothing
// touches the output path until both inputs are known to be usable.
#include "core/compare.hpp"
#include "programs/entry.hpp"
#include "core/files.hpp"
#include "programs/report.hpp"
#include "core/patch.hpp"

int run_program(int argc, char **argv)
{
    debug("Very early start...");
    report_write_limits_as_errors();
    if (argc != 4)
        fatal_error(messages::usage);
    debug("Start!");

    FILE *original = open_file(argv[1]);
    FILE *changed = open_file(argv[2]);
    debug("Files opened...");

    const std::int64_t size = get_size(original);
    const std::int64_t changed_size = get_size(changed);
    if (size != changed_size)
        fatal_error(messages::sizes_differ);
    debug("Sizes compared...");

    FILE *patch = create_file(argv[3], original, changed);
    write_size_line(patch, size);

    compare_blocks(original, changed, patch, size);

    std::fclose(original);
    std::fclose(changed);
    // Every block's writes were checked after it; what the stream still holds
    // (the size line alone, when there was no block) is written now.
    if (std::fclose(patch) != 0)
        fatal_error(messages::write_failed);

    // A script must not read success when even this line could not be written.
    if (std::puts(messages::done) < 0 || std::fflush(stdout) != 0)
        return EXIT_FAILED;
    return EXIT_DONE;
}
