#include "common/worker_thread.h"

#include <memory>

namespace {

struct WorkerStart {
    std::function<void()> work;
    HMODULE module = nullptr;
};

DWORD WINAPI WorkerMain(void* parameter) {
    std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(parameter));
    try {
        start->work();
    } catch (...) {
        // Bodies run under RunGuardedWork; this only keeps a stray exception
        // from taking the host process down.
    }
    HMODULE module = start->module;
    start.reset();
    FreeLibraryAndExitThread(module, 0);
}

} // namespace

HANDLE StartWorkerThread(std::function<void()> work) {
    auto start = std::make_unique<WorkerStart>();
    start->work = std::move(work);
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&StartWorkerThread), &start->module))
        return nullptr;
    HMODULE module = start->module;
    HANDLE thread = CreateThread(nullptr, 0, WorkerMain, start.get(), 0, nullptr);
    if (!thread) {
        FreeLibrary(module);
        return nullptr;
    }
    start.release(); // the thread owns it now
    return thread;
}
