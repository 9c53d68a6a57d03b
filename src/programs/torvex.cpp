// torvex original_file new_file output.patch
//
// The order of a run: check the arguments, open and measure both inputs,
// create the patch file, compare block by block, close everything. Nothing
// touches the output path until both inputs are known to be usable.
#include "core/compare.hpp"
#include "core/files.hpp"
#include "core/patch.hpp"
#include "programs/entry.hpp"
#include "programs/report.hpp"

namespace
{
FILE *open_input(const char *path)
{
    FILE *input = open_file(path);
    if (input == nullptr)
        fatal_error(messages::open_failed);
    return input;
}

std::int64_t measure(FILE *input)
{
    const std::int64_t size = get_size(input);
    if (size < 0)
        fatal_error(messages::open_failed);
    return size;
}
} // namespace

int run_program(int argc, char **argv)
{
    debug("Very early start...");
    report_write_limits_as_errors();
    if (argc != 4)
        fatal_error(messages::usage);
    debug("Start!");

    FILE *original = open_input(argv[1]);
    FILE *changed = open_input(argv[2]);
    debug("Files opened...");

    const std::int64_t size = measure(original);
    if (size != measure(changed))
        fatal_error(messages::sizes_differ);
    debug("Sizes compared...");

    FILE *patch = create_file(argv[3], original, changed);
    if (patch == nullptr)
        fatal_error(messages::create_failed);
    write_size_line(patch, size);

    switch (compare_blocks(original, changed, patch, size)) {
    case compare_status::done:
        break;
    case compare_status::read_failed:
        end_with_read_error();
    case compare_status::write_failed:
        fatal_error(messages::write_failed);
    case compare_status::alloc_failed:
        fatal_error(messages::alloc_failed);
    }

    std::fclose(original);
    std::fclose(changed);
    // Every block's writes were checked after it; what the stream still holds
    // (the size line alone, when there was no block) is written now.
    if (std::fclose(patch) != 0)
        fatal_error(messages::write_failed);
    return report_done(messages::done);
}
