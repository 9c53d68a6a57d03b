// libtorvex as a host program calls it: each outcome, the host left as it was.
#include "torvex.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace fs = std::filesystem;
namespace
{
constexpr std::streamoff MIB = 1 << 20, SIZE = 40 * MIB; // four blocks of work
constexpr auto relaxed = std::memory_order_relaxed;
constexpr auto make = torvex_make, apply = torvex_apply, invert = torvex_invert;
int check(torvex_job *job, const char *original, const char *patch, const char *)
{
    return torvex_check(job, original, patch);
}

// What no call may change: descriptors, signal dispositions, mask and pending.
std::vector<long> host_state()
{
    std::vector<long> state{std::distance(fs::directory_iterator("/proc/self/fd"), {})};
    sigset_t mask, pending;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask), sigpending(&pending);
    for (int sig = 1; sig < _NSIG; ++sig) {
        struct sigaction action = {};
        sigaction(sig, nullptr, &action);
        state.insert(state.end(), {reinterpret_cast<long>(action.sa_handler),
                                   action.sa_handler == SIG_DFL ? 0 : action.sa_flags,
                                   sigismember(&mask, sig), sigismember(&pending, sig)});
    }
    return state;
}

// A job whose reports are kept; first runs at the first. Past half the work, the report stops
// the run, or has another thread cancel it, nothing ordering that before the run's next look.
struct watch {
    enum way { none, stop, cancel, cut, leave, limit } how = none;
    std::function<void()> first = [] {};
    torvex_job *job = torvex_job_new();
    std::vector<std::uint64_t> done;
    std::atomic<bool> sent{false};
    std::jthread canceller;
    explicit watch(way given = none) : how(given)
    {
        torvex_job_set_progress(job, report, this);
        torvex_job_map_files(job, how == cut); // a make cut short faults in its mapping
    }
    ~watch() { canceller = std::jthread(), torvex_job_free(job); }
    static int report(void *user, std::uint64_t done, std::uint64_t total)
    {
        watch &w = *static_cast<watch *>(user);
        w.done.push_back(done);
        if (w.done.size() == 1)
            w.first();
        if (w.how != cancel || done * 2 <= total)
            return w.how == stop && done * 2 > total;
        w.how = none;
        w.canceller = std::jthread([&w] { torvex_job_cancel(w.job), w.sent.store(true, relaxed); });
        while (!w.sent.load(relaxed))
            std::this_thread::yield();
        return 0;
    }
};

// A fresh folder, removed with what it holds (dir["x"] names x there): small files; four blocks,
// "a" and "c" all holes, "b" a byte 1 every MiB; their patch, made in two threads at once.
struct files {
    fs::path path = fs::temp_directory_path() /
                    ("torvex-" + std::to_string(getpid()) + "-" + std::to_string(std::rand()));
    std::string operator[](std::string n) const { return n[0] == '/' ? n : (path / n).string(); }
    long count() const { return std::distance(fs::directory_iterator(path), {}); }
    std::string get(const char *name) const
    {
        std::ifstream in((*this)[name], std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    ~files() { fs::remove_all(path); }
    files()
    {
        fs::create_directory(path);
        // clang-format off
        for (const auto &[name, text] : {std::pair{"o", "ABCD"}, {"n", "ABXD"}, {"half", "AXCD"},
                 {"long", "ABCDE"}, {"small", "4\n2:58\n"}, {"bad", "4\n2:05\n"}, {"out", ""},
                 {"two", "4\n1:58\n2:58\n"}, {"mix", "4\n1:58\n2:43\n"}, {"wide", "5\n"}})
            std::ofstream((*this)[name], std::ios::binary) << text;
        // clang-format on
        for (const char *name : {"a", "b", "c"}) {
            std::ofstream out((*this)[name], std::ios::binary);
            for (std::streamoff at = 0; *name == 'b' && at < SIZE; at += MIB)
                out.seekp(at) << '\1';
            fs::resize_file((*this)[name], SIZE);
        }
        watch jobs[2]; // a job runs one call at a time
        const std::string a = (*this)["a"], b = (*this)["b"];
        jobs[0].first = [&] {
            EXPECT_EQ(check(jobs[0].job, a.c_str(), b.c_str(), ""), TORVEX_INVALID_CALL);
        };
        for (std::jthread runs[2]; int i : {0, 1})
            runs[i] = std::jthread([&, i] {
                EXPECT_EQ(make(jobs[i].job, a.c_str(), b.c_str(), (*this)[i ? "q" : "p"].c_str()),
                          TORVEX_OK);
            });
        for (const watch &w : jobs)
            EXPECT_TRUE(w.done.size() >= 5 && std::is_sorted(w.done.begin(), w.done.end()) &&
                        w.done.back() == SIZE);
        EXPECT_EQ(get("p"), get("q"));
    }
};
} // namespace

TEST(library, every_outcome_leaves_the_host_as_it_was)
{
    std::signal(SIGPIPE, SIG_DFL), std::signal(SIGXFSZ, SIG_DFL);
    const std::vector<long> before = host_state();
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const std::string fd = "/proc/self/fd/" + std::to_string(ends[1]);
    using enum watch::way;
    // The values are kept by callers; the programs' lines their own cases check.
    // clang-format off
    const int values[] = {TORVEX_OK, TORVEX_ALREADY_APPLIED, TORVEX_PARTLY_APPLIED, TORVEX_OPEN_FAILED,
        TORVEX_SIZES_DIFFER, TORVEX_CREATE_PATCH_FAILED, TORVEX_READ_FAILED, TORVEX_WRITE_PATCH_FAILED,
        TORVEX_NO_MEMORY, TORVEX_MALFORMED, TORVEX_DOES_NOT_FIT, TORVEX_MISMATCH, TORVEX_CREATE_NEW_FAILED,
        TORVEX_WRITE_NEW_FAILED, TORVEX_CANCELLED, TORVEX_INVALID_CALL};
    // At the first report an input is cut, the reader leaves, the size limit falls; then stops.
    const struct {
        int (*call)(torvex_job *, const char *, const char *, const char *);
        const char *a, *b, *c;
        int status;
        watch::way how = none;
    } rows[] = {
        {make, "o", "long", "out", TORVEX_SIZES_DIFFER},
        {make, "o", "n", "o", TORVEX_CREATE_PATCH_FAILED}, // the original
        {apply, "o", "none/new", "p", TORVEX_CREATE_NEW_FAILED},
        {apply, "o", "/dev/full", "small", TORVEX_WRITE_NEW_FAILED},
        {check, "none", "small", "", TORVEX_OPEN_FAILED}, {check, "o", "small", "", TORVEX_OK},
        {check, "n", "small", "", TORVEX_ALREADY_APPLIED},
        {check, "half", "two", "", TORVEX_PARTLY_APPLIED}, {check, "o", "mix", "", TORVEX_MISMATCH},
        {check, "o", "wide", "", TORVEX_DOES_NOT_FIT},    {check, "o", "bad", "", TORVEX_MALFORMED},
        {make, "a", "b", "out", TORVEX_READ_FAILED, cut},
        {apply, "a", "out", "p", TORVEX_READ_FAILED, cut},
        {invert, "a", "p", fd.c_str(), TORVEX_WRITE_PATCH_FAILED, leave},
        {make, "a", "b", "out", TORVEX_WRITE_PATCH_FAILED, limit},
        {apply, "c", "c", "p", TORVEX_CANCELLED, stop},
        {make, "a", "b", "out", TORVEX_CANCELLED, cancel},
        {apply, "a", "out", "p", TORVEX_CANCELLED, cancel},
        {apply, "c", "c", "p", TORVEX_CANCELLED, cancel},
        {invert, "a", "p", "out", TORVEX_CANCELLED, cancel}};
    // clang-format on
    for (int status = 0; status < 16; ++status)
        EXPECT_EQ(values[status], status);
    // All in one process, its standard output and error sent to a file meanwhile.
    files log;
    FILE *output = std::fopen(log["output"].c_str(), "w");
    const int kept[] = {dup(1), dup(2)};
    dup2(fileno(output), 1), dup2(fileno(output), 2);
    rlimit kept_limit, small;
    getrlimit(RLIMIT_FSIZE, &kept_limit), small = {64, kept_limit.rlim_max};
    for (const auto &row : rows) {
        files run;
        watch w(row.how);
        w.first = [&] {
            row.how == cut     ? fs::resize_file(run["a"], 0)
            : row.how == leave ? void(close(ends[0]))
                               : void(row.how == limit && setrlimit(RLIMIT_FSIZE, &small));
        };
        const int status =
            row.call(w.job, run[row.a].c_str(), run[row.b].c_str(), run[row.c].c_str());
        setrlimit(RLIMIT_FSIZE, &kept_limit);
        const std::uint64_t line = row.status == TORVEX_MALFORMED ? 2 : 0;
        EXPECT_EQ(
            std::tuple(status, torvex_job_line(w.job), std::string(torvex_job_message(w.job))),
            std::tuple(
                row.status, line,
                std::string(line ? "Patch is malformed at line 2." : torvex_message(row.status))))
            << row.a << ' ' << row.b << ' ' << row.c << ' ' << row.how;
        // No new file; a patch begun keeps its size line and whole blocks' records.
        const std::string out = run.get("out");
        EXPECT_TRUE(run.count() == 15 && run.get("o") == "ABCD" &&
                    (row.call == make && row.how != none
                         ? out.starts_with("2800000\n") && run.get("p").starts_with(out)
                         : out.empty()));
        if (*row.b == 'c') { // cut short in place, then finished by the next run
            EXPECT_FALSE(run.get("c") == run.get("a"));
            w.how = none;
            EXPECT_EQ(apply(w.job, run["c"].c_str(), run["c"].c_str(), run["p"].c_str()),
                      TORVEX_OK);
            EXPECT_TRUE(run.get("c") == run.get("b"));
        }
    }
    dup2(kept[0], 1), dup2(kept[1], 2), close(kept[0]), close(kept[1]), std::fclose(output);
    close(ends[1]);
    EXPECT_EQ(host_state(), before);
    EXPECT_EQ(log.get("output"), "");
    for (int status : {check(nullptr, "a", "b", ""), make(watch().job, "a", "b", nullptr),
                       apply(watch().job, nullptr, "b", "c")})
        EXPECT_EQ(status, TORVEX_INVALID_CALL);
    EXPECT_EQ(torvex_version(), TORVEX_VERSION_NUMBER);
}
