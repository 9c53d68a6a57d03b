// The thread's run; see progress.hpp.
#include "core/progress.hpp"

namespace
{
thread_local run_watch *current = nullptr;
} // namespace

void begin_watch(run_watch *watch)
{
    current = watch;
}

void end_watch()
{
    current = nullptr;
}

bool is_stopped()
{
    run_watch *watch = current;
    if (watch == nullptr)
        return false;
    if (watch->cancel != nullptr && watch->cancel->load(std::memory_order_relaxed) != 0)
        watch->stopped = true;
    return watch->stopped;
}

bool keep_going(std::int64_t done)
{
    run_watch *watch = current;
    if (watch == nullptr || is_stopped())
        return watch == nullptr;
    std::uint64_t at = watch->base + static_cast<std::uint64_t>(done);
    if (at > watch->total)
        at = watch->total;
    if (at < watch->shown)
        at = watch->shown;
    watch->shown = at;
    if (watch->report != nullptr && watch->report(watch->user, at, watch->total))
        watch->stopped = true;
    return !is_stopped();
}

void start_pass(std::int64_t size)
{
    if (current != nullptr)
        current->base += static_cast<std::uint64_t>(size);
}

void finish_progress()
{
    run_watch *watch = current;
    if (watch != nullptr && watch->report != nullptr)
        watch->report(watch->user, watch->total, watch->total);
}
