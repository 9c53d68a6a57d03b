// The entry point of every program; see entry.hpp.
#include "programs/entry.hpp"

#ifdef _WIN32
#include "sys/win32/paths.hpp"

#include <string>
#include <vector>

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
#elif defined(__EMSCRIPTEN__)
#include <cstring>

// In a browser one module holds the three programs, each main renamed for
// it; the page's worker runs one by name, with its three arguments.
int run_torvex(int argc, char **argv);
int run_torvex_apply(int argc, char **argv);
int run_torvex_invert(int argc, char **argv);

extern "C" int run_web(char *program, char *first, char *second, char *third)
{
    char *argv[] = {program, first, second, third, nullptr};
    const auto named = [&](const char *name) { return std::strcmp(program, name) == 0; };
    return named("torvex-apply")    ? run_torvex_apply(4, argv)
           : named("torvex-invert") ? run_torvex_invert(4, argv)
                                    : run_torvex(4, argv);
}
#else
int main(int argc, char **argv)
{
    return run_program(argc, argv);
}
#endif
