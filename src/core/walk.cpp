// The walk over a patch's records that the applier and the undo share.
#include "core/walk.hpp"

#include <algorithm>

bool move_window(original_window &window, const std::uint64_t *ahead, std::size_t count, bool more)
{
    const std::uint64_t *last =
        std::upper_bound(ahead, ahead + count, ahead[0] + BUFFER_SIZE - 1) - 1;
    const std::uint64_t wanted =
        more && last == ahead + count - 1 ? BUFFER_SIZE : *last - ahead[0] + 1;
    window.start = static_cast<std::int64_t>(ahead[0]);
    window.length = static_cast<std::size_t>(
        std::min<std::int64_t>(window.size - window.start, static_cast<std::int64_t>(wanted)));
    // Short means the original shrank: a read error, never bytes made up.
    if (!read_at(window.file, window.start, window.bytes, window.length)) {
        window.length = 0;
        return false;
    }
    return true;
}

// A fault met reading the patch; only a malformed one has a line to name. A
// copy that could not be written is no fault of the patch's.
apply_result get_fault(const patch_reader &reader, patch_line line, std::uint64_t at)
{
    if (reader.copy_failed)
        return {apply_status::create_failed, 0};
    switch (line) {
    case patch_line::beyond_size:
        return {apply_status::does_not_fit, 0};
    case patch_line::unreadable:
        return {apply_status::read_failed, 0};
    default:
        return {apply_status::malformed, at};
    }
}

bool is_success(const apply_result &result)
{
    return result.status == apply_status::applied || result.status == apply_status::already_applied;
}
