#include "common/guard.h"

#include "common/com_error.h"
#include "common/text.h"

#include <exception>
#include <new>

std::wstring CurrentExceptionText() {
    if (!std::current_exception())
        return {};
    try {
        throw;
    } catch (const ComError& error) {
        return FormatW(L"0x%08X", static_cast<unsigned>(error.code()));
    } catch (const std::bad_alloc&) {
        return L"out of memory";
    } catch (const TracedFailure& failure) {
        return failure.text();
    } catch (const std::exception& error) {
        return FromCodePage(error.what(), CP_ACP);
    } catch (...) {
        return L"unknown exception";
    }
}

void TraceCurrentException(const TraceSink& trace, const wchar_t* where) noexcept {
    try {
        trace.Write(std::wstring(L"失败事件：") + where + L" 异常：" + CurrentExceptionText());
    } catch (...) {
        // Tracing failed as well (out of memory): nothing more can be said.
    }
}

bool CurrentExceptionIsOutOfMemory() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return true;
    } catch (const ComError& error) {
        return error.code() == E_OUTOFMEMORY;
    } catch (...) {
        return false;
    }
}

void RunGuardedWork(const TraceSink& trace, const wchar_t* worker,
                    const std::function<void()>& work, const std::function<void()>& onFailure) {
    try {
        work();
        return;
    } catch (...) {
        TraceCurrentException(trace, worker);
    }
    try {
        if (onFailure)
            onFailure();
    } catch (...) {
        // The report itself failed; this thread can do nothing else.
    }
}
