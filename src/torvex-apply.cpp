// torvex-apply original_file new_file input.patch
//
// Writes new_file from original_file and a patch that torvex made of the two:
// to a new file whole or not at all, or in place where new_file names the
// original itself. The patch and the original are checked before anything is
// written.
#include "apply.hpp"
#include "entry.hpp"
#include "files.hpp"
#include "messages.hpp"

#include <cstdio>

namespace
{

// The one line a run ends with, and its exit status.
int report(const apply_result &result)
{
    char line[64];
    const char *message = messages::done;
    switch (result.status) {
    case apply_status::applied:
        break;
    case apply_status::already_applied:
        message = messages::already_applied;
        break;
    case apply_status::malformed:
        std::snprintf(line, sizeof line, messages::malformed_at,
                      static_cast<unsigned long long>(result.line));
        fatal_error(line);
    case apply_status::does_not_fit:
        fatal_error(messages::does_not_fit);
    case apply_status::mismatch:
        fatal_error(messages::mismatch);
    case apply_status::read_failed:
        fatal_error(messages::read_failed);
    case apply_status::write_failed:
        fatal_error(messages::write_new_failed);
    case apply_status::create_failed:
        fatal_error(messages::create_new_failed);
    case apply_status::alloc_failed:
        fatal_error(messages::alloc_failed);
    }
    // A script must not read success when even this line could not be written.
    if (std::puts(message) < 0 || std::fflush(stdout) != 0)
        return EXIT_FAILED;
    return EXIT_DONE;
}

} // namespace

int run_program(int argc, char **argv)
{
    if (argc != 4)
        fatal_error(messages::apply_usage);
    FILE *original = open_file(argv[1]);
    FILE *patch = open_patch(argv[3]);
    const std::int64_t size = get_size(original);
    report_size_limit_as_write_error();

    FILE *target = nullptr;
    const target_kind kind = open_target(argv[2], original, patch, target);
    if (kind == target_kind::refused || (kind == target_kind::original && get_size(target) < size))
        fatal_error(messages::create_new_failed);
    // Written in place or to a device only once the whole patch is checked:
    // it is read twice.
    if (kind != target_kind::replaceable && !rewind_file(patch))
        fatal_error(messages::open_failed);

    const apply_result result =
        kind == target_kind::replaceable ? apply_to_new_file(original, size, argv[2], patch)
        : kind == target_kind::original  ? apply_in_place(original, size, target, patch)
                                         : apply_to_device(original, size, target, patch);
    if (target != nullptr && std::fclose(target) != 0 && result.status == apply_status::applied)
        fatal_error(messages::write_new_failed);
    std::fclose(patch);
    std::fclose(original);
    return report(result);
}
