#include "common/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include <memory>

namespace {

struct LocalFreer {
    void operator()(void* memory) const { LocalFree(memory); }
};

} // namespace

std::vector<std::wstring> CommandLineArguments() {
    int count = 0;
    std::unique_ptr<LPWSTR, LocalFreer> argv(CommandLineToArgvW(GetCommandLineW(), &count));
    std::vector<std::wstring> args;
    for (int i = 1; argv && i < count; ++i)
        args.emplace_back(argv.get()[i]);
    return args;
}
