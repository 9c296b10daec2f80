#include "tools/host/host_options.h"

const wchar_t kHostUsage[] =
    L"usage: TovralHost.exe PAGE.js [--no-active-window] [--no-browser] [--dismiss-dialogs]\n"
    L"                      [--app-minor-version TEXT] [--document-url URL]\n"
    L"                      [-- PAGE ARGUMENTS...]";

namespace {

ParsedCommandLine UsageError(std::wstring error) {
    ParsedCommandLine result;
    result.error = std::move(error);
    return result;
}

} // namespace

ParsedCommandLine ParseHostCommandLine(const std::vector<std::wstring>& args) {
    HostOptions options;
    bool havePage = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        if (arg == L"--") {
            options.pageArguments.assign(args.begin() + static_cast<ptrdiff_t>(i) + 1, args.end());
            break;
        }
        if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            ParsedCommandLine result;
            result.helpRequested = true;
            return result;
        }
        if (arg == L"--no-active-window") {
            options.activateWindow = false;
        } else if (arg == L"--no-browser") {
            options.offerBrowser = false;
        } else if (arg == L"--dismiss-dialogs") {
            options.dismissDialogs = true;
        } else if (arg == L"--app-minor-version") {
            if (i + 1 >= args.size())
                return UsageError(L"--app-minor-version needs a text");
            options.appMinorVersion = args[++i];
        } else if (arg == L"--document-url") {
            if (i + 1 >= args.size())
                return UsageError(L"--document-url needs a URL");
            options.documentUrl = args[++i];
        } else if (arg.size() > 1 && arg[0] == L'-') {
            return UsageError(L"unknown option " + arg);
        } else if (havePage) {
            return UsageError(L"more than one page script: " + arg +
                              L" (page arguments go after --)");
        } else {
            options.pagePath = arg;
            havePage = true;
        }
    }
    if (!havePage)
        return UsageError(L"no page script given");
    ParsedCommandLine result;
    result.options = std::move(options);
    return result;
}
