// torvex-invert original_file input.patch output.patch
//
// Writes the undo of a patch made by torvex, from the original it was made
// for: applied to the patched file, it gives back the original. Made before
// a patch is applied in place, it lets that be taken back. The patch is
// checked against the original, record by record, before the undo is in place.
#include "core/apply.hpp"
#include "core/files.hpp"
#include "core/invert.hpp"
#include "programs/entry.hpp"
#include "programs/report.hpp"

#include <cstdio>

int run_program(int argc, char **argv)
{
    report_write_limits_as_errors();
    if (argc != 4)
        fatal_error(messages::invert_usage);
    const auto [original, patch, size] = open_applier_inputs(argv[1], argv[2]);

    // Never the original, the patch, or a file that shares bytes with either;
    // a folder or a disk cannot take a patch.
    target place = open_target(argv[3], original, patch, pipe_use::awaited);
    if (place.kind == target_kind::refused || place.kind == target_kind::original)
        fatal_error(messages::create_failed);
    if (!keep_writers_out(original, patch))
        fatal_error(messages::open_failed);

    const apply_result result = place.kind == target_kind::replaceable
                                    ? invert_to_new_file(original, size, place, patch)
                                    : invert_to_device(original, size, place.stream, patch);
    const int status =
        close_and_report(place, result, messages::create_failed, messages::write_failed);
    std::fclose(patch);
    std::fclose(original);
    return status;
}
