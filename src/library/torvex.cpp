// The C interface (include/torvex.h): each call opens what it is given,
// runs the core on it, and closes everything on every road out, so that a
// host process carries on after any outcome.
#include "torvex.h"

#include "core/apply.hpp"
#include "core/compare.hpp"
#include "core/files.hpp"
#include "core/invert.hpp"
#include "core/patch.hpp"
#include "core/progress.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <new>

struct torvex_job {
    std::atomic<int> cancel{0};
    std::atomic<bool> running{false};
    torvex_progress progress = nullptr;
    void *user = nullptr;
    bool map_files = false;
    std::uint64_t line = 0;
    int status = TORVEX_OK;
    char message[64] = {};
};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler cancels");

namespace
{
constexpr const char *MESSAGES[] = {
    "Process ended.",
    "Patch already applied.",
    "Patch partly applied.",
    "Error opening one of the files.",
    "Files have different sizes.",
    "Error creating patch file.",
    "Error reading one of the files...",
    "Error writing patch file.",
    "Error allocating memory.",
    "Patch is malformed.",
    "Patch does not fit the original file.",
    "Original file does not match the patch.",
    "Error creating new file.",
    "Error writing new file.",
    "Cancelled.",
    "Invalid call.",
};

// Closes a stream it holds on every road out.
struct closing {
    FILE *stream = nullptr;
    closing() = default;
    explicit closing(FILE *opened) : stream(opened) {}
    closing(const closing &) = delete;
    closing &operator=(const closing &) = delete;
    ~closing()
    {
        if (stream != nullptr)
            std::fclose(stream);
    }
};

// What torvex-apply and torvex-invert say of a failure to make or write their output.
struct output_statuses {
    int create_failed;
    int write_failed;
};
constexpr output_statuses NEW_FILE{TORVEX_CREATE_NEW_FAILED, TORVEX_WRITE_NEW_FAILED};
constexpr output_statuses UNDO{TORVEX_CREATE_PATCH_FAILED, TORVEX_WRITE_PATCH_FAILED};

int get_status(apply_result result, output_statuses output, std::uint64_t &line)
{
    line = result.status == apply_status::malformed ? result.line : 0;
    switch (result.status) {
    case apply_status::applied:
        return TORVEX_OK;
    case apply_status::already_applied:
        return TORVEX_ALREADY_APPLIED;
    case apply_status::partly_applied:
        return TORVEX_PARTLY_APPLIED;
    case apply_status::malformed:
        return TORVEX_MALFORMED;
    case apply_status::does_not_fit:
        return TORVEX_DOES_NOT_FIT;
    case apply_status::mismatch:
        return TORVEX_MISMATCH;
    case apply_status::read_failed:
        return TORVEX_READ_FAILED;
    case apply_status::write_failed:
        return output.write_failed;
    case apply_status::create_failed:
        return output.create_failed;
    case apply_status::alloc_failed:
        return TORVEX_NO_MEMORY;
    case apply_status::cancelled:
        return TORVEX_CANCELLED;
    }
    return TORVEX_READ_FAILED;
}

bool report_to_job(void *user, std::uint64_t done, std::uint64_t total)
{
    const torvex_job *job = static_cast<const torvex_job *>(user);
    return job->progress(job->user, done, total) != 0;
}

bool is_finished(int status)
{
    return status == TORVEX_OK || status == TORVEX_ALREADY_APPLIED ||
           status == TORVEX_PARTLY_APPLIED;
}

// Runs one call of job: the run watched for its progress and cancel, the
// write signals held off in this thread, and the outcome kept in the job.
template <typename Body> int run_call(torvex_job *job, bool paths_given, Body body)
{
    bool idle = false;
    if (job == nullptr || !job->running.compare_exchange_strong(idle, true))
        return TORVEX_INVALID_CALL;
    run_watch watch;
    watch.report = job->progress != nullptr ? report_to_job : nullptr;
    watch.user = job;
    watch.cancel = &job->cancel;
    begin_watch(&watch);
    write_signals_hold hold;
    hold_write_signals(hold);
    std::uint64_t line = 0;
    // Nothing below throws: the core allocates with malloc and reports.
    const int status = paths_given ? body(watch, line) : TORVEX_INVALID_CALL;
    const int outcome = !is_finished(status) && status != TORVEX_INVALID_CALL && is_stopped()
                            ? TORVEX_CANCELLED
                            : status;
    if (outcome == TORVEX_OK)
        finish_progress();
    release_write_signals(hold);
    end_watch();
    job->status = outcome;
    job->line = outcome == TORVEX_MALFORMED ? line : 0;
    if (outcome == TORVEX_MALFORMED)
        std::snprintf(job->message, sizeof job->message, "Patch is malformed at line %llu.",
                      static_cast<unsigned long long>(line));
    job->cancel.store(0);
    job->running.store(false);
    return outcome;
}

// The original and the patch of an applier, open, and the original's size.
struct applier_inputs {
    closing original;
    closing patch;
    std::int64_t size = -1;
};

bool open_applier_inputs(const char *original_path, const char *patch_path, applier_inputs &in)
{
    in.original.stream = open_file(original_path);
    if (in.original.stream != nullptr)
        in.patch.stream = open_patch(patch_path);
    if (in.patch.stream != nullptr)
        in.size = get_size(in.original.stream);
    return in.size >= 0;
}

// Closes the output at place: one that does not close after a good run is
// a write error.
apply_result close_output(target &place, apply_result result)
{
    const bool closed = place.stream == nullptr || std::fclose(place.stream) == 0;
    place.stream = nullptr;
    close_target(place);
    if (!closed &&
        (result.status == apply_status::applied || result.status == apply_status::already_applied))
        result.status = apply_status::write_failed;
    return result;
}

int make_patch(const char *original_path, const char *changed_path, const char *patch_path,
               bool map_files, run_watch &watch)
{
    closing original(open_file(original_path));
    closing changed(original.stream != nullptr ? open_file(changed_path) : nullptr);
    if (changed.stream == nullptr)
        return TORVEX_OPEN_FAILED;
    const std::int64_t size = get_size(original.stream);
    const std::int64_t changed_size = get_size(changed.stream);
    if (size < 0 || changed_size < 0)
        return TORVEX_OPEN_FAILED;
    if (size != changed_size)
        return TORVEX_SIZES_DIFFER;
    FILE *patch = create_file(patch_path, original.stream, changed.stream);
    if (patch == nullptr)
        return TORVEX_CREATE_PATCH_FAILED;
    write_size_line(patch, size);
    watch.total = static_cast<std::uint64_t>(size);
    std::int64_t whole = -1;
    const compare_status compared =
        compare_blocks(original.stream, changed.stream, patch, size, whole, map_files);
    // A run that stops early keeps the size line and its whole blocks' records.
    if (compared == compare_status::read_failed || compared == compare_status::cancelled) {
        std::fflush(patch);
        if (whole >= 0)
            cut_file(fileno(patch), whole);
    }
    // What the stream still holds (the size line alone, when there was no
    // block) is written now.
    const bool closed = std::fclose(patch) == 0;
    switch (compared) {
    case compare_status::done:
        return closed ? TORVEX_OK : TORVEX_WRITE_PATCH_FAILED;
    case compare_status::read_failed:
        return TORVEX_READ_FAILED;
    case compare_status::write_failed:
        return TORVEX_WRITE_PATCH_FAILED;
    case compare_status::alloc_failed:
        return TORVEX_NO_MEMORY;
    case compare_status::cancelled:
        return TORVEX_CANCELLED;
    }
    return TORVEX_READ_FAILED;
}

int apply_patch(const char *original_path, const char *new_path, const char *patch_path,
                run_watch &watch, std::uint64_t &line)
{
    applier_inputs in;
    if (!open_applier_inputs(original_path, patch_path, in))
        return TORVEX_OPEN_FAILED;
    FILE *original = in.original.stream, *patch = in.patch.stream;
    target place = open_target(new_path, original, patch, pipe_use::refused);
    if (place.kind == target_kind::refused || place.kind == target_kind::pipe ||
        (place.kind == target_kind::original && get_size(place.stream) < in.size)) {
        close_output(place, {apply_status::create_failed, 0});
        return TORVEX_CREATE_NEW_FAILED;
    }
    // In place, the target's own handle keeps other writers out.
    if (place.kind != target_kind::original && !keep_writers_out(original, patch)) {
        close_output(place, {apply_status::create_failed, 0});
        return TORVEX_OPEN_FAILED;
    }
    // Written in place or to a device only once the whole patch is checked:
    // it is read twice (see plan_rereading).
    closing copy;
    const rereading again = place.kind == target_kind::replaceable
                                ? rereading::as_is
                                : plan_rereading(patch, original, copy.stream);
    if (again == rereading::no_copy || again == rereading::not_twice) {
        close_output(place, {apply_status::create_failed, 0});
        return again == rereading::no_copy ? TORVEX_CREATE_NEW_FAILED : TORVEX_OPEN_FAILED;
    }
    const auto passes = place.kind == target_kind::replaceable ? 1u : 2u;
    watch.total = passes * static_cast<std::uint64_t>(in.size);
    apply_result result =
        place.kind == target_kind::replaceable ? apply_to_new_file(original, in.size, place, patch)
        : place.kind == target_kind::original
            ? apply_in_place(original, in.size, place.stream, patch, again, copy.stream)
            : apply_to_device(original, in.size, place.stream, patch, again, copy.stream);
    result = close_output(place, result);
    return get_status(result, NEW_FILE, line);
}

int invert_patch(const char *original_path, const char *patch_path, const char *undo_path,
                 run_watch &watch, std::uint64_t &line)
{
    applier_inputs in;
    if (!open_applier_inputs(original_path, patch_path, in))
        return TORVEX_OPEN_FAILED;
    FILE *original = in.original.stream, *patch = in.patch.stream;
    // Never the original, the patch, or a file that shares bytes with either;
    // a folder or a disk cannot take a patch.
    target place = open_target(undo_path, original, patch, pipe_use::awaited);
    if (place.kind == target_kind::refused || place.kind == target_kind::original) {
        close_output(place, {apply_status::create_failed, 0});
        return TORVEX_CREATE_PATCH_FAILED;
    }
    if (!keep_writers_out(original, patch)) {
        close_output(place, {apply_status::create_failed, 0});
        return TORVEX_OPEN_FAILED;
    }
    watch.total = static_cast<std::uint64_t>(in.size);
    apply_result result = place.kind == target_kind::replaceable
                              ? invert_to_new_file(original, in.size, place, patch)
                              : invert_to_device(original, in.size, place.stream, patch);
    result = close_output(place, result);
    return get_status(result, UNDO, line);
}

int check_patch(const char *original_path, const char *patch_path, run_watch &watch,
                std::uint64_t &line)
{
    applier_inputs in;
    if (!open_applier_inputs(original_path, patch_path, in))
        return TORVEX_OPEN_FAILED;
    watch.total = static_cast<std::uint64_t>(in.size);
    return get_status(check_patch(in.original.stream, in.size, in.patch.stream), NEW_FILE, line);
}
} // namespace

extern "C" {

unsigned torvex_version(void)
{
    return TORVEX_VERSION_NUMBER;
}

const char *torvex_message(int status)
{
    return status >= 0 && status < static_cast<int>(std::size(MESSAGES)) ? MESSAGES[status]
                                                                         : "Unknown status.";
}

// Made with malloc: a failure is a null job, and the library needs no C++
// runtime beyond the C library's.
torvex_job *torvex_job_new(void)
{
    void *memory = std::malloc(sizeof(torvex_job));
    return memory != nullptr ? new (memory) torvex_job : nullptr;
}

void torvex_job_free(torvex_job *job)
{
    if (job == nullptr)
        return;
    job->~torvex_job();
    std::free(job);
}

void torvex_job_set_progress(torvex_job *job, torvex_progress progress, void *user)
{
    if (job == nullptr)
        return;
    job->progress = progress;
    job->user = user;
}

void torvex_job_map_files(torvex_job *job, int on)
{
    if (job != nullptr)
        job->map_files = on != 0;
}

void torvex_job_cancel(torvex_job *job)
{
    if (job != nullptr)
        job->cancel.store(1);
}

uint64_t torvex_job_line(const torvex_job *job)
{
    return job != nullptr ? job->line : 0;
}

const char *torvex_job_message(const torvex_job *job)
{
    if (job == nullptr)
        return torvex_message(TORVEX_INVALID_CALL);
    return job->status == TORVEX_MALFORMED ? job->message : torvex_message(job->status);
}

int torvex_make(torvex_job *job, const char *original, const char *changed, const char *patch_out)
{
    return run_call(job, original && changed && patch_out, [&](run_watch &watch, std::uint64_t &) {
        return make_patch(original, changed, patch_out, job->map_files, watch);
    });
}

int torvex_apply(torvex_job *job, const char *original, const char *new_file, const char *patch)
{
    return run_call(job, original && new_file && patch, [&](run_watch &watch, std::uint64_t &line) {
        return apply_patch(original, new_file, patch, watch, line);
    });
}

int torvex_invert(torvex_job *job, const char *original, const char *patch, const char *undo_out)
{
    return run_call(job, original && patch && undo_out, [&](run_watch &watch, std::uint64_t &line) {
        return invert_patch(original, patch, undo_out, watch, line);
    });
}

int torvex_check(torvex_job *job, const char *original, const char *patch)
{
    return run_call(job, original && patch, [&](run_watch &watch, std::uint64_t &line) {
        return check_patch(original, patch, watch, line);
    });
}
}
