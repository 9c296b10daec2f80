// RAII owner of WinINet handles (sessions, connections, URL requests).
#pragma once

#include "common/handles.h"

#include <windows.h>
#include <wininet.h>

struct InternetHandleTraits {
    using Handle = HINTERNET;
    static Handle Invalid() { return nullptr; }
    static bool Valid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { InternetCloseHandle(h); }
};
using InternetHandle = UniqueHandle<InternetHandleTraits>;
