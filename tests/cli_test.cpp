// Runs the built tool on files in a fresh folder and checks what a script
// sees: the patch bytes, standard output, the exit status and what became of
// the files on disk.
//
// TORVEX_COMMAND replaces the command (words split on spaces, for example
// "wine /build/torvex.exe"); TORVEX_TARGET=windows expects CR LF line ends
// and skips the cases that need POSIX file types.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace
{

bool is_windows_target()
{
    const char *target = std::getenv("TORVEX_TARGET");
    return target != nullptr && std::string(target) == "windows";
}

std::vector<std::string> get_command()
{
    std::vector<std::string> words;
    const char *command = std::getenv("TORVEX_COMMAND");
    std::istringstream in(command != nullptr ? command : TORVEX_BINARY);
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// The text as the target stores it: Windows text mode writes CR LF.
std::string as_stored(std::string text)
{
    if (!is_windows_target())
        return text;
    std::string out;
    for (char c : text)
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

struct run_result {
    int status;
    std::string out;
    std::string err;
};

// Runs the tool in dir. A run that has not ended after a minute is killed
// and reported as hung: no input may make the tool wait forever.
run_result run_tool(const fs::path &dir, const std::vector<std::string> &args,
                    rlim_t address_limit = 0)
{
    std::vector<std::string> words = get_command();
    words.insert(words.end(), args.begin(), args.end());
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(dir.c_str()) != 0 || !freopen("stdout.txt", "w", stdout) ||
            !freopen("stderr.txt", "w", stderr))
            _exit(127);
        if (address_limit != 0) {
            const rlimit limit{address_limit, address_limit};
            setrlimit(RLIMIT_AS, &limit);
        }
        std::vector<char *> argv;
        for (auto &word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    for (int waited = 0; waitpid(child, &status, WNOHANG) == 0; ++waited) {
        if (waited == 6000) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ADD_FAILURE() << "the tool hung";
            return {-1, "", ""};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    run_result result{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                      read_file(dir / "stdout.txt"), read_file(dir / "stderr.txt")};
    fs::remove(dir / "stdout.txt");
    fs::remove(dir / "stderr.txt");
    return result;
}

const std::string ENDED = "Process ended.\n";
const std::string USAGE = "Usage: torvex.exe original_file new_file output.patch\n";
const std::string OPEN_FAILED = "Error opening one of the files.\n";
const std::string SIZES_DIFFER = "Files have different sizes.\n";
const std::string CREATE_FAILED = "Error creating patch file.\n";
const std::string WRITE_FAILED = "Error writing patch file.\n";
const std::string ALLOC_FAILED = "Error allocating memory.\n";

std::string with_changes(std::string text,
                         std::initializer_list<std::pair<std::size_t, int>> changes)
{
    for (auto [at, value] : changes)
        text[at] = static_cast<char>(value);
    return text;
}

struct cli_case {
    const char *name;
    std::string original;          // written as "a"
    std::string changed;           // written as "b"
    std::vector<std::string> args; // relative to the case's folder
    std::string out;               // expected standard output
    int status;
    std::optional<std::string> patch; // expected "out.patch"; nullopt: must not exist
    bool posix_only = false;
    std::function<void(const fs::path &)> setup = nullptr;
    rlim_t address_limit = 0;
};

const std::vector<std::string> ABP = {"a", "b", "out.patch"};
const std::string SIXTEEN(16, 'x');

void make_socket(const fs::path &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.string().copy(address.sun_path, sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    close(fd);
}

// clang-format off
std::vector<cli_case> make_cases()
{
    const std::string x32(32, '\x11');
    const std::string zeros20(20, '\0');
    const std::string big(11 << 20, 'a');
    const bool posix = true;
    return {
        // name, original, new, arguments, standard output, status, patch, posix only, setup
        {"worked_example", "ABCD", "ABXD", ABP, ENDED, 0, "4\n2:58\n"},
        {"one_difference", zeros20, with_changes(zeros20, {{5, 0xC3}}), ABP, ENDED, 0, "14\n5:C3\n"},
        {"identical", SIXTEEN, SIXTEEN, ABP, ENDED, 0, "10\n"},
        {"empty", "", "", ABP, ENDED, 0, "0\n"},
        {"last_byte_newline", SIXTEEN, with_changes(SIXTEEN, {{15, 0x0A}}), ABP, ENDED, 0, "10\nF:A\n"},
        {"high_bytes_zero_and_runs", x32,
         with_changes(x32, {{0, 0xFF}, {7, 0x80}, {8, 0x81}, {9, 0x82}, {0x1F, 0}}), ABP, ENDED, 0,
         "20\n0:FF\n7:80\n8:81\n9:82\n1F:0\n"},
        {"same_input_twice", "abc", "xyz", {"a", "a", "out.patch"}, ENDED, 0, "3\n"},
        {"no_arguments", "a", "b", {}, USAGE, 1, std::nullopt},
        {"two_arguments", "a", "b", {"a", "b"}, USAGE, 1, std::nullopt},
        {"four_arguments", "a", "b", {"a", "b", "out.patch", "extra"}, USAGE, 1, std::nullopt},
        {"first_missing", "a", "b", {"missing", "b", "out.patch"}, OPEN_FAILED, 1, std::nullopt},
        {"second_missing", "a", "b", {"a", "missing", "out.patch"}, OPEN_FAILED, 1, std::nullopt},
        {"sizes_differ_keep_old_patch", "abc", "abcd", ABP, SIZES_DIFFER, 1, "old patch", false,
         [](const fs::path &d) { write_file(d / "out.patch", "old patch"); }},
        {"output_folder_missing", "abc", "abd", {"a", "b", "nowhere/out.patch"}, CREATE_FAILED, 1, std::nullopt},
        {"output_is_original", "abc", "abd", {"a", "b", "a"}, CREATE_FAILED, 1, std::nullopt},
        {"output_is_new", "abc", "abd", {"a", "b", "b"}, CREATE_FAILED, 1, std::nullopt},
        {"output_symlink_to_new", "abc", "abd", {"a", "b", "link"}, CREATE_FAILED, 1, std::nullopt, posix,
         [](const fs::path &d) { fs::create_symlink("b", d / "link"); }},
        {"output_hard_link_to_original", "abc", "abd", {"a", "b", "hard"}, CREATE_FAILED, 1, std::nullopt, false,
         [](const fs::path &d) { fs::create_hard_link(d / "a", d / "hard"); }},
        {"output_disk_full", "abc", "abd", {"a", "b", "/dev/full"}, WRITE_FAILED, 1, std::nullopt, posix},
        {"input_is_folder", "abc", "abd", {"folder", "b", "out.patch"}, OPEN_FAILED, 1, std::nullopt, false,
         [](const fs::path &d) { fs::create_directory(d / "folder"); }},
        {"input_is_fifo_without_writer", "abc", "abd", {"a", "fifo", "out.patch"}, OPEN_FAILED, 1, std::nullopt, posix,
         [](const fs::path &d) { mkfifo((d / "fifo").c_str(), 0600); }},
        {"input_is_character_device", "", "", {"/dev/null", "b", "out.patch"}, OPEN_FAILED, 1, std::nullopt, posix},
        // The Windows null device; elsewhere simply a missing file.
        {"input_is_nul_device", "", "", {"NUL", "b", "out.patch"}, OPEN_FAILED, 1, std::nullopt},
        {"input_is_socket", "abc", "abd", {"a", "socket", "out.patch"}, OPEN_FAILED, 1, std::nullopt, posix,
         [](const fs::path &d) { make_socket(d / "socket"); }},
        // Too little address space for the block buffers or the mappings.
        {"allocation_fails", big, big, ABP, ALLOC_FAILED, 1, "B00000\n", posix, nullptr, 12u << 20},
    };
}
// clang-format on

void PrintTo(const cli_case &c, std::ostream *os)
{
    *os << c.name;
}

class cli : public testing::TestWithParam<cli_case>
{
};

TEST_P(cli, run)
{
    const cli_case &c = GetParam();
    if (c.posix_only && is_windows_target())
        GTEST_SKIP() << "needs POSIX file types";
#ifdef TORVEX_SANITIZED
    if (c.address_limit != 0)
        GTEST_SKIP() << "the sanitizer runtime needs more address space";
#endif
    const fs::path dir = fs::temp_directory_path() /
                         ("torvex-cli-" + std::string(c.name) + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    write_file(dir / "a", c.original);
    write_file(dir / "b", c.changed);
    if (c.setup)
        c.setup(dir);

    const run_result result = run_tool(dir, c.args, c.address_limit);

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
    const fs::path dir = fs::temp_directory_path() / ("torvex-large-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::uint64_t size = 0x100000010;
    const std::vector<std::pair<std::uint64_t, char>> changes = {
        {5, '\x01'},          {0x7FFFFFFF, '\x80'},  {0x80000000, '\x7F'},
        {0xFFFFFFFF, '\xFF'}, {0x100000000, '\x0A'}, {0x10000000F, '\x10'}};
    for (const char *name : {"a", "b"}) {
        const int fd = open((dir / name).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
        for (auto [at, value] : changes)
            if (std::string(name) == "b") {
                ASSERT_EQ(pwrite(fd, &value, 1, static_cast<off_t>(at)), 1);
            }
        close(fd);
    }
    const run_result result = run_tool(dir, ABP);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, as_stored(ENDED));
    EXPECT_EQ(read_file(dir / "out.patch"),
              as_stored("100000010\n5:1\n7FFFFFFF:80\n80000000:7F\nFFFFFFFF:FF\n"
                        "100000000:A\n10000000F:10\n"));
    fs::remove_all(dir);
}

} // namespace
