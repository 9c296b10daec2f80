// Which thread a component's page-facing methods belong to: the thread that
// made the component, which in the control is the page's own (the loading
// thread). Debug builds check it at each such method; release builds only
// keep the owner for tests to ask.
#pragma once

#include "common/trace_sink.h"

#include <windows.h>

#include <cassert>
#include <string>

class ThreadAffinity {
public:
    ThreadAffinity() : owner_(GetCurrentThreadId()) {}
    bool OnOwnerThread() const { return GetCurrentThreadId() == owner_; }

    // In debug builds: a call from another thread is traced and stops there.
    void Expect([[maybe_unused]] const TraceSink& trace,
                [[maybe_unused]] const wchar_t* method) const {
#ifndef NDEBUG
        if (!OnOwnerThread()) {
            trace.Write(std::wstring(L"失败事件：") + method + L" 不在页面线程上调用");
            assert(!"a page-thread method was called on another thread");
        }
#endif
    }

private:
    DWORD owner_;
};
