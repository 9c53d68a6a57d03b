// torvex-apply original_file new_file input.patch
//
// Writes new_file from original_file and a patch that torvex made of the two:
// to a new file whole or not at all, or in place where new_file names the
// original itself. The patch and the original are checked before anything is
// written.
#include "core/apply.hpp"
#include "core/files.hpp"
#include "programs/entry.hpp"
#include "programs/report.hpp"

#include <cstdio>

int run_program(int argc, char **argv)
{
    report_write_limits_as_errors();
    if (argc != 4)
        fatal_error(messages::apply_usage);
    const auto [original, patch, size] = open_applier_inputs(argv[1], argv[3]);

    target place = open_target(argv[2], original, patch, pipe_use::refused);
    if (place.kind == target_kind::refused || place.kind == target_kind::pipe ||
        (place.kind == target_kind::original && get_size(place.stream) < size))
        fatal_error(messages::create_new_failed);
    // In place, the target's own handle keeps other writers out.
    if (place.kind != target_kind::original && !keep_writers_out(original, patch))
        fatal_error(messages::open_failed);
    // Written in place or to a device only once the whole patch is checked:
    // it is read twice (see plan_rereading).
    FILE *copy = nullptr;
    const rereading again = place.kind == target_kind::replaceable
                                ? rereading::as_is
                                : plan_rereading(patch, original, copy);
    if (again == rereading::no_copy)
        fatal_error(messages::create_new_failed);
    if (again == rereading::not_twice)
        fatal_error(messages::open_failed);

    const apply_result result =
        place.kind == target_kind::replaceable ? apply_to_new_file(original, size, place, patch)
        : place.kind == target_kind::original
            ? apply_in_place(original, size, place.stream, patch, again, copy)
            : apply_to_device(original, size, place.stream, patch, again, copy);
    const int status =
        close_and_report(place, result, messages::create_new_failed, messages::write_new_failed);
    if (copy != nullptr)
        std::fclose(copy);
    std::fclose(patch);
    std::fclose(original);
    return status;
}
