// The entry point of every program, and the signals that end a run; see
// entry.hpp.
#include "programs/entry.hpp"

#ifdef _WIN32
#include "sys/win32/paths.hpp"

#include <string>
#include <vector>

#include <windows.h>

namespace
{
torvex_job *volatile stopped_job = nullptr;
volatile LONG caught = 0;
volatile LONG finished = 0;

// Ctrl+C and Ctrl+Break stop the run, which the program then ends as the
// system would have. Closing the console ends the process once this returns:
// the run is given a few seconds to stop first and remove its file.
BOOL WINAPI stop_run(DWORD event)
{
    caught = 1;
    if (stopped_job != nullptr)
        torvex_job_cancel(stopped_job);
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        return stopped_job != nullptr;
    for (int waited = 0; finished == 0 && waited < 50; ++waited)
        Sleep(100);
    return FALSE;
}
} // namespace

void stop_job_on_ending_signals(torvex_job *job)
{
    static bool installed = false;
    if (job == nullptr)
        finished = 1;
    stopped_job = job;
    if (!installed)
        installed = SetConsoleCtrlHandler(stop_run, TRUE) != 0;
}

void end_by_caught_signal()
{
    if (caught != 0)
        ExitProcess(STATUS_CONTROL_C_EXIT);
}

int wmain(int argc, wchar_t **argv)
{
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(narrow(argv[i]));
    std::vector<char *> pointers;
    for (std::string &argument : arguments)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    return run_program(argc, pointers.data());
}
#else
#include <csignal>

namespace
{
torvex_job *volatile stopped_job = nullptr;
volatile sig_atomic_t caught = 0;
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

void stop_run(int signal)
{
    caught = signal;
    if (stopped_job != nullptr)
        torvex_job_cancel(stopped_job);
}
} // namespace

// Without SA_RESTART: a wait for a pipe's reader ends with the signal too.
void stop_job_on_ending_signals(torvex_job *job)
{
    stopped_job = job;
    static bool installed = false;
    for (const int signal : ENDING_SIGNALS) {
        struct sigaction action {
        };
        if (installed || sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN)
            continue;
        action.sa_handler = stop_run;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(signal, &action, nullptr);
    }
    installed = true;
}

void end_by_caught_signal()
{
    if (caught == 0)
        return;
    std::signal(caught, SIG_DFL);
    std::raise(caught);
}

// A pipe whose reader has left, or a file-size limit, fails a write (the
// last line's too) instead of ending the program.
int main(int argc, char **argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    return run_program(argc, argv);
}
#endif
