// Command line of the page host (documented at the top of main.cpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

struct HostOptions {
    std::wstring pagePath;
    bool activateWindow = true;
    bool offerBrowser = true;
    bool dismissDialogs = false;
    std::wstring appMinorVersion = L";SP2;";
    std::optional<std::wstring> documentUrl; // none: the browser does not tell its address
    std::vector<std::wstring> pageArguments;
};

struct ParsedCommandLine {
    std::optional<HostOptions> options; // empty on a usage error or --help
    bool helpRequested = false;
    std::wstring error; // the usage error, if any
};

// Parses the arguments after the program name.
ParsedCommandLine ParseHostCommandLine(const std::vector<std::wstring>& args);

extern const wchar_t kHostUsage[];
