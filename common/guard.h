// The guard at every boundary where an exception must stop: a scripting
// method's body and a worker thread's body. What was thrown becomes one trace
// line naming the place and the error.
#pragma once

#include "common/trace_sink.h"

#include <exception>
#include <functional>
#include <string>

// A failure whose text is written for the trace as it is (wide, unlike what()).
class TracedFailure : public std::exception {
public:
    explicit TracedFailure(std::wstring text) : text_(std::move(text)) {}
    const std::wstring& text() const noexcept { return text_; }
    const char* what() const noexcept override { return "traced failure"; }

private:
    std::wstring text_;
};

// The text of the exception being handled ("" outside a handler).
std::wstring CurrentExceptionText();

// Call inside a catch block: writes "失败事件：<where> 异常：<error>"; never throws.
void TraceCurrentException(const TraceSink& trace, const wchar_t* where) noexcept;

// Whether the exception being handled is an out-of-memory failure, which a
// scripting method reports as E_OUTOFMEMORY rather than as a failure value.
bool CurrentExceptionIsOutOfMemory() noexcept;

// Runs a worker's body; whatever it throws is traced, then `onFailure` runs
// (it tells the page, so a worker never ends without a report). Never throws.
void RunGuardedWork(const TraceSink& trace, const wchar_t* worker,
                    const std::function<void()>& work, const std::function<void()>& onFailure);
