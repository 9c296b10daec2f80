// The diagnosis report's pure parts: the check list of the resource text, the
// item and result lists handed to the page, and the bytes of
// "EnvDiagnoseLog.txt" made from what the collectors found.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

// One check item of the user's language ("id" and "name"; the other
// attributes are the page's business).
struct CheckItem {
    std::wstring id;
    std::wstring name;
};

enum class CheckListState {
    Unreadable, // the resource text does not parse
    NoExamine,  // it parses but has no "examine" element
    Read,       // items of the user's language (none when that language is absent)
};

struct CheckList {
    CheckListState state = CheckListState::Unreadable;
    std::vector<CheckItem> items;
};

// The "examine" element (the root itself or a child of it), then its "chs"
// child for the language "chs" and its "eng" child for every other language.
CheckList ReadCheckList(const std::wstring& resourceText, std::wstring_view language);

// <item id="ID" name="NAME" statue="0" /> per item, nothing between them.
std::wstring ItemListText(const std::vector<CheckItem>& items);
// <item id="ID" statue="1" /> per item: the list after the checks.
std::wstring ResultListText(const std::vector<CheckItem>& items);

struct HelperObjectRecord {
    CLSID clsid = {};
    std::wstring progId;  // trimmed; empty when the class has none (not reported)
    std::wstring path;    // or "文件不存在。"
    std::wstring version; // or "版本号未知。"
};

struct ProcessRecord {
    std::wstring path;
    std::string info; // "FileDescription", already in the ANSI code page
};

struct ReportInputs {
    std::wstring reportPath;
    std::wstring systemText; // "%s %s,%s" with the full service-pack text
    std::wstring ieMajor;
    std::wstring controlSection;
    std::wstring applicationSection;
    std::vector<ProcessRecord> processes;
    std::vector<HelperObjectRecord> helperObjects;
};

// The report file's bytes: text in `codePage`, every line feed stored as CR LF.
std::string DiagnosisReportBytes(const ReportInputs& inputs, unsigned codePage);
