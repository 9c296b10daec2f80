// A stack walk through the image-help library, for the crash record.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// One text per frame of `thread`, starting at `context`: "symbol+DISPLACEMENT"
// when a symbol is known, else "SECTION:OFFSET module-path". Empty when the
// image-help library or its entry points are missing.
std::vector<std::wstring> WalkStack(HANDLE process, HANDLE thread, const CONTEXT& context);
