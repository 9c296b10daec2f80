// Helpers of the sysconfig tests: a registry value that a test changes and puts back
// afterwards. (Trace lines are recorded by test_support's RecordingTraceSink.)
#pragma once

#include "common/registry.h"
#include "common/trace_sink.h"
#include "tests/unit/test_support.h"

#include <optional>
#include <string>
#include <vector>

// The raw data and type of a registry value, or nothing when it is missing.
struct RawValue {
    DWORD type = 0;
    std::vector<BYTE> data;
    bool operator==(const RawValue&) const = default;
};
std::optional<RawValue> ReadRawValue(HKEY root, const std::wstring& key, const wchar_t* name);
void WriteRawValue(HKEY root, const std::wstring& key, const wchar_t* name,
                   const std::optional<RawValue>& value);
RawValue DwordValue(DWORD value);

// Keeps one value as it was before the test.
class PreservedValue {
public:
    PreservedValue(HKEY root, std::wstring key, const wchar_t* name);
    ~PreservedValue();
    PreservedValue(const PreservedValue&) = delete;
    PreservedValue& operator=(const PreservedValue&) = delete;

private:
    HKEY root_;
    std::wstring key_;
    const wchar_t* name_;
    std::optional<RawValue> saved_;
};
