// Measures torvex against the read floor and GNU cmp on warm inputs.
//
//   bench TORVEX READ_FLOOR FOLDER [RUNS]
//
// Makes the inputs in FOLDER once (deterministic, reused by later runs),
// reads them to warm the page cache, then runs the commands of each case in
// turn, round after round, so that the machine's noise hits all of them
// alike. Prints medians, their ratios and each command's peak resident
// memory, and exits 1 if a target is missed.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

constexpr std::uint64_t GiB = 1ull << 30;
constexpr std::uint64_t MiB = 1ull << 20;

enum class shape { identical, sparse, dense };

// Writes ORIGINAL and CHANGED: pseudo-random bytes, with one byte in every
// 4 KiB changed (sparse) or every byte changed (dense).
bool make_pair(shape kind, std::uint64_t size, const std::string &a_path, const std::string &b_path)
{
    FILE *a_file = std::fopen(a_path.c_str(), "wb");
    FILE *b_file = std::fopen(b_path.c_str(), "wb");
    if (a_file == nullptr || b_file == nullptr)
        return false;
    std::vector<unsigned char> a(MiB), b(MiB);
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (std::uint64_t done = 0; done < size; done += a.size()) {
        for (std::size_t i = 0; i < a.size(); i += 8) {
            state ^= state << 13, state ^= state >> 7, state ^= state << 17;
            std::memcpy(&a[i], &state, 8);
        }
        b = a;
        if (kind == shape::sparse)
            for (std::size_t i = 1234; i < b.size(); i += 4096)
                b[i] ^= 0xA5;
        if (kind == shape::dense)
            for (std::size_t i = 0; i < b.size(); ++i)
                b[i] = static_cast<unsigned char>(a[i] + 1 + i % 255);
        if (std::fwrite(a.data(), 1, a.size(), a_file) != a.size() ||
            std::fwrite(b.data(), 1, b.size(), b_file) != b.size())
            return false;
    }
    return std::fclose(a_file) == 0 && std::fclose(b_file) == 0;
}

bool has_size(const std::string &path, std::uint64_t size)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && static_cast<std::uint64_t>(info.st_size) == size;
}

void warm(const std::string &path)
{
    std::vector<char> buffer(8 * MiB);
    const int fd = open(path.c_str(), O_RDONLY);
    while (fd >= 0 && read(fd, buffer.data(), buffer.size()) > 0) {
    }
    if (fd >= 0)
        close(fd);
}

struct sample {
    double seconds;
    long peak_kib;
};

// Runs argv with standard output sent to out_path; returns its wall time and
// peak resident memory.
sample run(const std::vector<std::string> &argv, const std::string &out_path)
{
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || dup2(out, STDOUT_FILENO) < 0)
            _exit(127);
        std::vector<char *> args;
        for (const auto &word : argv)
            args.push_back(const_cast<char *>(word.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    // cmp exits 1 when the files differ; only a failure to run is an error.
    if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) {
        std::fprintf(stderr, "bench: %s failed\n", argv[0].c_str());
        std::exit(2);
    }
    return {took.count(), usage.ru_maxrss};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct command {
    const char *label;
    std::vector<std::string> argv;
    std::string out_path;
    std::vector<double> seconds;
    long peak_kib = 0;
};

struct bench_case {
    const char *name;
    shape kind;
    std::uint64_t size;
    const char *versus;   // label of the cmp command for the ratio
    double versus_target; // torvex / cmp at most
    double floor_target;  // torvex / read floor at most (0: no target)
};

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fputs("usage: bench TORVEX READ_FLOOR FOLDER [RUNS]\n", stderr);
        return 2;
    }
    const std::string torvex = argv[1], floor_tool = argv[2], dir = argv[3];
    const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 7;
    const std::string cmp = "/usr/bin/cmp";
    constexpr long MEMORY_TARGET_KIB = 24 * 1024;
    mkdir(dir.c_str(), 0755);

    const bench_case cases[] = {
        {"identical", shape::identical, GiB, "cmp", 0.40, 1.25},
        {"sparse", shape::sparse, GiB, "cmp -l", 0.25, 0},
        {"dense", shape::dense, 64 * MiB, "cmp -l", 0.12, 0},
    };
    std::printf("%d runs each, medians in seconds; inputs in %s\n\n", runs, dir.c_str());
    std::printf("| case | torvex | read floor | %-10s | torvex / floor | torvex / cmp | target | "
                "torvex peak RSS | result |\n",
                "cmp");
    std::printf("| --- | --- | --- | --- | --- | --- | --- | --- | --- |\n");
    bool all_met = true;
    for (const bench_case &c : cases) {
        const std::string a = dir + "/" + c.name + ".a", b = dir + "/" + c.name + ".b";
        if ((!has_size(a, c.size) || !has_size(b, c.size)) && !make_pair(c.kind, c.size, a, b)) {
            std::fprintf(stderr, "bench: cannot write inputs in %s\n", dir.c_str());
            return 2;
        }
        warm(a);
        warm(b);
        std::vector<command> commands = {
            {"torvex", {torvex, a, b, dir + "/torvex.patch"}, "/dev/null", {}},
            {"read floor", {floor_tool, a, b}, "/dev/null", {}},
            {c.versus, {cmp, a, b}, "/dev/null", {}},
        };
        if (std::strcmp(c.versus, "cmp -l") == 0)
            commands[2].argv = {cmp, "-l", a, b}, commands[2].out_path = dir + "/cmp.out";
        for (int round = -1; round < runs; ++round) // round -1 warms up
            for (command &cmd : commands) {
                const sample s = run(cmd.argv, cmd.out_path);
                if (round >= 0)
                    cmd.seconds.push_back(s.seconds),
                        cmd.peak_kib = std::max(cmd.peak_kib, s.peak_kib);
            }
        const double t = median(commands[0].seconds), f = median(commands[1].seconds),
                     v = median(commands[2].seconds);
        const bool met = t / v <= c.versus_target &&
                         (c.floor_target == 0 || t / f <= c.floor_target) &&
                         commands[0].peak_kib <= MEMORY_TARGET_KIB;
        all_met = all_met && met;
        char target[64];
        if (c.floor_target != 0)
            std::snprintf(target, sizeof target, "<= %.2f floor, <= %.2f %s", c.floor_target,
                          c.versus_target, c.versus);
        else
            std::snprintf(target, sizeof target, "<= %.2f %s", c.versus_target, c.versus);
        std::printf("| %s | %.3f | %.3f | %.3f (%s) | %.2f | %.3f | %s | %.1f MiB | %s |\n", c.name,
                    t, f, v, c.versus, t / f, t / v, target, commands[0].peak_kib / 1024.0,
                    met ? "met" : "MISSED");
        std::fflush(stdout);
    }
    std::printf("\npeak RSS target: <= 24 MiB in every case\n");
    return all_met ? 0 : 1;
}
