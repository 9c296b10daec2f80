// Starting what the installers run: installer programs, shell opens of MSI
// packages, regsvr32, and in-process registration of server DLLs. Programs
// are waited for without a time limit: an installer that waits for the user
// holds the chain until it is closed.
#pragma once

#include <string>

// A command line whose program is `path`, quoted so that a path with blanks
// ("C:\Program Files\...") stays one argument, then the arguments.
std::wstring QuotedCommandLine(const std::wstring& path, const std::wstring& arguments = L"");

// Runs the program shown normally in a new console and waits for it; 1 when
// it was started (and has ended), 0 when it could not be started.
int RunProgram(const std::wstring& path);
// "open" through the shell (an MSI package runs msiexec) and waits for the
// started process, if one is handed back; 1 when the shell call succeeded.
int OpenWithShell(const std::wstring& path);
// "regsvr32.exe "PATH" /s", hidden, waited for; 1 when started.
int RunRegsvr32(const std::wstring& path);

// Loads the DLL (its folder current meanwhile, so its own dependencies are
// found) and calls DllRegisterServer / DllUnregisterServer; 1 only when the
// export exists and answered S_OK.
int RegisterServerDll(const std::wstring& path);
int UnregisterServerDll(const std::wstring& path);
