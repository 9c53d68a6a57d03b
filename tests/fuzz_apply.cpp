// libFuzzer target: arbitrary bytes as a patch against an original of up to
// 765 bytes (byte 0 sets its length). Never a crash; a refused patch leaves
// the original as it was and makes no new file; an accepted one gives the
// same bytes in place and anew, those of a plain reading of its records.
#include "model.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    bytes original(data[0] * 3u, 0);
    for (std::size_t i = 0; i < original.size(); ++i)
        original[i] = static_cast<unsigned char>(i * 7);
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const applied_both got = apply_both(original, text);
    std::string expected(original.begin(), original.end());
    const apply_status status = got.to_new_file.status;
    if (status == apply_status::applied || status == apply_status::already_applied) {
        std::istringstream lines(text.substr(text.find('\n') + 1));
        unsigned long long offset;
        unsigned value;
        for (std::string line; std::getline(lines, line);)
            if (std::sscanf(line.c_str(), "%llX:%X", &offset, &value) == 2)
                expected[offset] = static_cast<char>(value);
        if (got.new_file != expected)
            std::abort();
    } else if (!got.new_file.empty()) {
        std::abort();
    }
    if (got.in_place.status != status || got.in_place.line != got.to_new_file.line ||
        got.original != (status == apply_status::applied
                             ? expected
                             : std::string(original.begin(), original.end())))
        std::abort();
    return 0;
}
