// The messages and the ends of runs; see report.hpp.
#include "programs/report.hpp"

#include <cstdio>
#include <cstdlib>

void fatal_error(const char *message)
{
    std::puts(message);
    std::exit(EXIT_FAILED);
}

applier_inputs open_applier_inputs(const char *original_path, const char *patch_path)
{
    applier_inputs inputs{open_file(original_path), nullptr, -1};
    if (inputs.original != nullptr)
        inputs.patch = open_patch(patch_path);
    if (inputs.patch != nullptr)
        inputs.size = get_size(inputs.original);
    if (inputs.size < 0)
        fatal_error(messages::open_failed);
    return inputs;
}

int report_done(const char *message)
{
    return std::puts(message) < 0 || std::fflush(stdout) != 0 ? EXIT_FAILED : EXIT_DONE;
}

namespace
{
// The patch file, and how much of it holds whole blocks: a read error keeps
// only that much. Set once per block, read by a fault handler.
int patch_descriptor = -1;
volatile std::int64_t whole_length = -1;
} // namespace

void mark_patch_whole(FILE *patch)
{
    patch_descriptor = fileno(patch);
    whole_length = get_position(patch);
}

// Only calls safe in a fault handler: no stdio, no exit handlers.
void end_on_fault(fault kind)
{
    print_now(kind == fault::read ? messages::read_failed : messages::write_new_failed);
    if (patch_descriptor >= 0 && whole_length >= 0)
        cut_file(patch_descriptor, whole_length);
    end_process_now(EXIT_FAILED);
}

void end_with_read_error()
{
    end_on_fault(fault::read);
}

int close_and_report(target &place, apply_result result, const char *create_failed,
                     const char *write_failed)
{
    const bool closed = place.stream == nullptr || std::fclose(place.stream) == 0;
    place.stream = nullptr;
    close_target(place);
    if (!closed && result.status == apply_status::applied)
        result.status = apply_status::write_failed;
    char line[64];
    switch (result.status) {
    case apply_status::applied:
        return report_done(messages::done);
    case apply_status::already_applied:
        return report_done(messages::already_applied);
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
        fatal_error(write_failed);
    case apply_status::create_failed:
        fatal_error(create_failed);
    case apply_status::alloc_failed:
        fatal_error(messages::alloc_failed);
    }
    return EXIT_FAILED;
}
