// Runs the built tool on files in a fresh folder and checks what a script
// sees: the patch bytes, standard output, the exit status and what became of
// the files on disk.
//
// TORVEX_COMMAND replaces the command (for example "wine /build/torvex.exe");
// TORVEX_TARGET=windows expects CR LF line ends and skips the cases that need
// POSIX file types.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace fs = std::filesystem;

namespace
{

std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The text as the target stores it: Windows text mode writes CR LF.
std::string as_stored(const std::string &text)
{
    const char *target = std::getenv("TORVEX_TARGET");
    std::string out;
    for (char c : text)
        out += c == '\n' && target && std::string(target) == "windows" ? "\r\n" : std::string(1, c);
    return out;
}

int run_shell(const fs::path &dir, const std::string &command)
{
    const int status = std::system(("cd '" + dir.string() + "' && " + command).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const std::string ENDED = "Process ended.\n";
const std::string USAGE = "Usage: torvex.exe original_file new_file output.patch\n";
const std::string OPEN_FAILED = "Error opening one of the files.\n";
const std::string CREATE_FAILED = "Error creating patch file.\n";

std::string with_changes(std::string text,
                         std::initializer_list<std::pair<std::size_t, int>> changes)
{
    for (auto [at, value] : changes)
        text[at] = static_cast<char>(value);
    return text;
}

struct cli_case {
    const char *name;
    std::string original; // written as "a"
    std::string changed;  // written as "b"
    const char *args;     // paths relative to the case's folder
    std::string out;      // expected standard output
    int status;
    std::optional<std::string> patch; // expected "out.patch"; nullopt: must not exist
    const char *needs = "true";       // shell test: the case is skipped where it fails
    const char *setup = "true";       // shell command run in the folder first
    const char *prefix = "";          // shell words before the tool
};

void PrintTo(const cli_case &c, std::ostream *os)
{
    *os << c.name;
}

// clang-format off
std::vector<cli_case> make_cases()
{
    const std::string x16(16, 'x'), x32(32, '\x11'), zeros20(20, '\0'), big(11 << 20, 'a');
    const std::string disk(1 << 20, '\x5A');
    const char *posix = "[ \"$TORVEX_TARGET\" != windows ]";
#ifdef TORVEX_SANITIZED
    const char *small_address_space = "false"; // the sanitizer runtime needs more
#else
    const char *small_address_space = posix;
#endif
    return {
        // name, original, new, arguments, standard output, status, patch, needs, setup, prefix
        {"worked_example", "ABCD", "ABXD", "a b out.patch", ENDED, 0, "4\n2:58\n"},
        {"one_difference", zeros20, with_changes(zeros20, {{5, 0xC3}}), "a b out.patch", ENDED, 0, "14\n5:C3\n"},
        {"identical", x16, x16, "a b out.patch", ENDED, 0, "10\n"},
        {"empty", "", "", "a b out.patch", ENDED, 0, "0\n"},
        {"last_byte_newline", x16, with_changes(x16, {{15, 0x0A}}), "a b out.patch", ENDED, 0, "10\nF:A\n"},
        {"high_bytes_zero_and_runs", x32,
         with_changes(x32, {{0, 0xFF}, {7, 0x80}, {8, 0x81}, {9, 0x82}, {0x1F, 0}}), "a b out.patch", ENDED, 0,
         "20\n0:FF\n7:80\n8:81\n9:82\n1F:0\n"},
        {"same_input_twice", "abc", "xyz", "a a out.patch", ENDED, 0, "3\n"},
        // Sizes and offsets past 4 GiB, on sparse files that cost no disk space.
        {"offsets_past_four_gibibytes", "", "", "la lb out.patch", ENDED, 0,
         "100000010\n5:1\n7FFFFFFF:80\n80000000:7F\nFFFFFFFF:FF\n100000000:A\n10000000F:10\n", "true",
         "truncate -s 4294967312 la lb && put() { printf \"$2\" | dd of=lb bs=1 seek=$1 conv=notrunc status=none; } && "
         "put 5 '\\001' && put 2147483647 '\\200' && put 2147483648 '\\177' && put 4294967295 '\\377' && "
         "put 4294967296 '\\n' && put 4294967311 '\\020'"},
        // Disk images are read through loop devices, where the machine has them.
        {"block_devices", disk, with_changes(disk, {{0x309, 0x42}, {0xFFFFF, 0}}), "$A $B out.patch", ENDED, 0,
         "100000\n309:42\nFFFFF:0\n", "[ \"$TORVEX_TARGET\" != windows ] && losetup -f > /dev/null 2>&1", "true",
         "A=$(losetup -f --show a) && B=$(losetup -f --show b) && trap 'losetup -d $A $B' EXIT && "},
        {"no_arguments", "a", "b", "", USAGE, 1, std::nullopt},
        {"four_arguments", "a", "b", "a b out.patch extra", USAGE, 1, std::nullopt},
        {"first_missing", "a", "b", "missing b out.patch", OPEN_FAILED, 1, std::nullopt},
        {"second_missing", "a", "b", "a missing out.patch", OPEN_FAILED, 1, std::nullopt},
        {"sizes_differ_keep_old_patch", "abc", "abcd", "a b out.patch", "Files have different sizes.\n", 1,
         "old patch", "true", "printf 'old patch' > out.patch"},
        {"sizes_differ_original_longer", "abcd", "abc", "a b out.patch", "Files have different sizes.\n", 1,
         std::nullopt},
        {"output_folder_missing", "abc", "abd", "a b nowhere/out.patch", CREATE_FAILED, 1, std::nullopt},
        {"output_is_original", "abc", "abd", "a b a", CREATE_FAILED, 1, std::nullopt},
        {"output_is_new", "abc", "abd", "a b b", CREATE_FAILED, 1, std::nullopt},
        {"output_symlink_to_new", "abc", "abd", "a b link", CREATE_FAILED, 1, std::nullopt, posix, "ln -s b link"},
        {"output_hard_link_to_original", "abc", "abd", "a b hard", CREATE_FAILED, 1, std::nullopt, "true", "ln a hard"},
        {"output_disk_full", "abc", "abd", "a b /dev/full", "Error writing patch file.\n", 1, std::nullopt, posix},
        {"input_is_folder", "abc", "abd", "folder b out.patch", OPEN_FAILED, 1, std::nullopt, "true", "mkdir folder"},
        {"input_is_fifo_without_writer", "abc", "abd", "a fifo out.patch", OPEN_FAILED, 1, std::nullopt, posix,
         "mkfifo fifo"},
        {"input_is_character_device", "", "", "/dev/null b out.patch", OPEN_FAILED, 1, std::nullopt, posix},
        // The Windows null device; elsewhere simply a missing file.
        {"input_is_nul_device", "", "", "NUL b out.patch", OPEN_FAILED, 1, std::nullopt},
        // Too little address space for the block buffers or the mappings.
        {"allocation_fails", big, big, "a b out.patch", "Error allocating memory.\n", 1, "B00000\n",
         small_address_space, "true", "ulimit -v 12288 && "},
    };
}
// clang-format on

class cli : public testing::TestWithParam<cli_case>
{
};

TEST_P(cli, run)
{
    const cli_case &c = GetParam();
    const fs::path dir = fs::temp_directory_path() /
                         ("torvex-cli-" + std::string(c.name) + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    if (run_shell(dir, c.needs) != 0) {
        fs::remove_all(dir);
        GTEST_SKIP() << "needs: " << c.needs;
    }
    std::ofstream(dir / "a", std::ios::binary) << c.original;
    std::ofstream(dir / "b", std::ios::binary) << c.changed;
    ASSERT_EQ(run_shell(dir, c.setup), 0);

    // A run that has not ended after a minute is killed: no input may make the
    // tool wait forever.
    const char *command = std::getenv("TORVEX_COMMAND");
    const int status =
        run_shell(dir, c.prefix + std::string("timeout 60 ") + (command ? command : TORVEX_BINARY) +
                           " " + c.args + " > stdout.txt 2> stderr.txt");

    EXPECT_EQ(status, c.status);
    EXPECT_EQ(read_file(dir / "stdout.txt"), as_stored(c.out));
    if (command == nullptr) {
        EXPECT_EQ(read_file(dir / "stderr.txt"), "") << "messages belong on standard output";
    }
    // The inputs are never modified, whatever the outcome.
    EXPECT_EQ(read_file(dir / "a"), c.original);
    EXPECT_EQ(read_file(dir / "b"), c.changed);
    if (c.patch)
        EXPECT_EQ(read_file(dir / "out.patch"), as_stored(*c.patch));
    else
        EXPECT_FALSE(fs::exists(dir / "out.patch"));
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(cases, cli, testing::ValuesIn(make_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
