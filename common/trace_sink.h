// Where trace lines go. The trace log implements it; components are given one
// so that they never depend on the log's file handling, and tests record lines.
#pragma once

#include <string>

class TraceSink {
public:
    virtual ~TraceSink() = default;
    // One event line; every caller in the product passes level 1.
    virtual void Write(const std::wstring& text, int level = 1) const = 0;
};

// Drops every line: for callers that have nobody to tell.
class NullTraceSink final : public TraceSink {
public:
    void Write(const std::wstring&, int = 1) const override {}
};
