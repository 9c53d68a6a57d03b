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

bool is_windows_target()
{
    const char *target = std::getenv("TORVEX_TARGET");
    return target != nullptr && std::string(target) == "windows";
}

std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The text as the target stores it: Windows text mode writes CR LF.
std::string as_stored(const std::string &text)
{
    std::string out;
    for (char c : text)
        out += c == '\n' && is_windows_target() ? "\r\n" : std::string(1, c);
    return out;
}

int run_shell(const fs::path &dir, const std::string &command)
{
    const int status = std::system(("cd '" + dir.string() + "' && " + command).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

fs::path make_folder(const std::string &name)
{
    const fs::path dir =
        fs::temp_directory_path() / ("torvex-cli-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

struct run_result {
    int status;
    std::string out;
    std::string err;
};

// Runs the tool in dir; prefix goes before it (a ulimit, say). A run that has
// not ended after a minute is killed: no input may make the tool wait forever.
run_result run_tool(const fs::path &dir, const std::string &args, const std::string &prefix = "")
{
    const char *command = std::getenv("TORVEX_COMMAND");
    const int status = run_shell(dir, prefix + "timeout 60 " + (command ? command : TORVEX_BINARY) +
                                          " " + args + " > stdout.txt 2> stderr.txt");
    EXPECT_NE(status, 124) << "the tool hung";
    run_result result{status, read_file(dir / "stdout.txt"), read_file(dir / "stderr.txt")};
    fs::remove(dir / "stdout.txt");
    fs::remove(dir / "stderr.txt");
    return result;
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
    bool posix_only = false;
    const char *setup = "true"; // shell command run in the folder first
    const char *prefix = "";    // shell words before the tool
};

void PrintTo(const cli_case &c, std::ostream *os)
{
    *os << c.name;
}

// clang-format off
std::vector<cli_case> make_cases()
{
    const std::string x16(16, 'x'), x32(32, '\x11'), zeros20(20, '\0'), big(11 << 20, 'a');
    const bool posix = true;
    return {
        // name, original, new, arguments, standard output, status, patch, posix only, setup, prefix
        {"worked_example", "ABCD", "ABXD", "a b out.patch", ENDED, 0, "4\n2:58\n"},
        {"one_difference", zeros20, with_changes(zeros20, {{5, 0xC3}}), "a b out.patch", ENDED, 0, "14\n5:C3\n"},
        {"identical", x16, x16, "a b out.patch", ENDED, 0, "10\n"},
        {"empty", "", "", "a b out.patch", ENDED, 0, "0\n"},
        {"last_byte_newline", x16, with_changes(x16, {{15, 0x0A}}), "a b out.patch", ENDED, 0, "10\nF:A\n"},
        {"high_bytes_zero_and_runs", x32,
         with_changes(x32, {{0, 0xFF}, {7, 0x80}, {8, 0x81}, {9, 0x82}, {0x1F, 0}}), "a b out.patch", ENDED, 0,
         "20\n0:FF\n7:80\n8:81\n9:82\n1F:0\n"},
        {"same_input_twice", "abc", "xyz", "a a out.patch", ENDED, 0, "3\n"},
        {"no_arguments", "a", "b", "", USAGE, 1, std::nullopt},
        {"two_arguments", "a", "b", "a b", USAGE, 1, std::nullopt},
        {"four_arguments", "a", "b", "a b out.patch extra", USAGE, 1, std::nullopt},
        {"first_missing", "a", "b", "missing b out.patch", OPEN_FAILED, 1, std::nullopt},
        {"second_missing", "a", "b", "a missing out.patch", OPEN_FAILED, 1, std::nullopt},
        {"sizes_differ_keep_old_patch", "abc", "abcd", "a b out.patch", "Files have different sizes.\n", 1,
         "old patch", false, "printf 'old patch' > out.patch"},
        {"sizes_differ_original_longer", "abcd", "abc", "a b out.patch", "Files have different sizes.\n", 1,
         std::nullopt},
        {"output_folder_missing", "abc", "abd", "a b nowhere/out.patch", CREATE_FAILED, 1, std::nullopt},
        {"output_is_original", "abc", "abd", "a b a", CREATE_FAILED, 1, std::nullopt},
        {"output_is_new", "abc", "abd", "a b b", CREATE_FAILED, 1, std::nullopt},
        {"output_symlink_to_new", "abc", "abd", "a b link", CREATE_FAILED, 1, std::nullopt, posix, "ln -s b link"},
        {"output_hard_link_to_original", "abc", "abd", "a b hard", CREATE_FAILED, 1, std::nullopt, false, "ln a hard"},
        {"output_disk_full", "abc", "abd", "a b /dev/full", "Error writing patch file.\n", 1, std::nullopt, posix},
        {"input_is_folder", "abc", "abd", "folder b out.patch", OPEN_FAILED, 1, std::nullopt, false, "mkdir folder"},
        {"input_is_fifo_without_writer", "abc", "abd", "a fifo out.patch", OPEN_FAILED, 1, std::nullopt, posix,
         "mkfifo fifo"},
        {"input_is_character_device", "", "", "/dev/null b out.patch", OPEN_FAILED, 1, std::nullopt, posix},
        // The Windows null device; elsewhere simply a missing file.
        {"input_is_nul_device", "", "", "NUL b out.patch", OPEN_FAILED, 1, std::nullopt},
        {"input_is_socket", "abc", "abd", "a socket out.patch", OPEN_FAILED, 1, std::nullopt, posix,
         "python3 -c \"import socket; socket.socket(socket.AF_UNIX).bind('socket')\""},
        // Too little address space for the block buffers or the mappings.
        {"allocation_fails", big, big, "a b out.patch", "Error allocating memory.\n", 1, "B00000\n", posix,
         "true", "ulimit -v 12288 && "},
    };
}
// clang-format on

class cli : public testing::TestWithParam<cli_case>
{
};

TEST_P(cli, run)
{
    const cli_case &c = GetParam();
    if (c.posix_only && is_windows_target())
        GTEST_SKIP() << "needs POSIX file types";
#ifdef TORVEX_SANITIZED
    if (*c.prefix != '\0')
        GTEST_SKIP() << "the sanitizer runtime needs more address space";
#endif
    const fs::path dir = make_folder(c.name);
    std::ofstream(dir / "a", std::ios::binary) << c.original;
    std::ofstream(dir / "b", std::ios::binary) << c.changed;
    ASSERT_EQ(run_shell(dir, c.setup), 0);

    const run_result result = run_tool(dir, c.args, c.prefix);

    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, as_stored(c.out));
    if (!is_windows_target()) {
        EXPECT_EQ(result.err, "") << "messages belong on standard output";
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

// Sizes and offsets past 4 GiB, on sparse files that cost no disk space.
TEST(cli_large, offsets_past_four_gibibytes)
{
    const fs::path dir = make_folder("large");
    ASSERT_EQ(run_shell(dir,
                        "truncate -s 4294967312 a b && put() { printf \"$2\" | dd of=b bs=1 "
                        "seek=$1 conv=notrunc status=none; } && put 5 '\\001' && "
                        "put 2147483647 '\\200' && put 2147483648 '\\177' && "
                        "put 4294967295 '\\377' && put 4294967296 '\\n' && put 4294967311 '\\020'"),
              0);
    const run_result result = run_tool(dir, "a b out.patch");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, as_stored(ENDED));
    EXPECT_EQ(read_file(dir / "out.patch"), as_stored("100000010\n5:1\n7FFFFFFF:80\n80000000:7F\n"
                                                      "FFFFFFFF:FF\n100000000:A\n10000000F:10\n"));
    fs::remove_all(dir);
}

// Block devices have a measurable size and are read like files.
TEST(cli_block_device, disk_images_are_accepted)
{
    if (is_windows_target())
        GTEST_SKIP() << "no block devices there";
    const fs::path dir = make_folder("block");
    const std::string image(1 << 20, '\x5A');
    std::ofstream(dir / "a.img", std::ios::binary) << image;
    std::ofstream(dir / "b.img", std::ios::binary)
        << with_changes(image, {{0x309, 0x42}, {0xFFFFF, 0}});
    if (run_shell(dir, "echo $(losetup -f --show a.img) $(losetup -f --show b.img) > devices "
                       "2> /dev/null && [ $(wc -w < devices) = 2 ]") != 0) {
        run_shell(dir, "losetup -d $(cat devices) 2> /dev/null");
        fs::remove_all(dir);
        GTEST_SKIP() << "cannot attach loop devices here";
    }
    const run_result result = run_tool(dir, "$(cat devices) out.patch");
    run_shell(dir, "losetup -d $(cat devices)");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, ENDED);
    EXPECT_EQ(read_file(dir / "out.patch"), "100000\n309:42\nFFFFF:0\n");
    fs::remove_all(dir);
}

} // namespace
