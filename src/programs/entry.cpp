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
#else
int main(int argc, char **argv)
{
    return run_program(argc, argv);
}
#endif
