// Worker threads that keep the module loaded while they run.
#pragma once

#include <windows.h>

#include <functional>

// Runs `work` on a new thread. The thread holds a reference on the module that
// contains this code and drops it with FreeLibraryAndExitThread, so the DLL is
// never unloaded under a running worker. Returns the thread handle (the caller
// owns it) or null when no thread could be created.
HANDLE StartWorkerThread(std::function<void()> work);
