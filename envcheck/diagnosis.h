// The diagnosis the page offers the user: the list of environment checks, the
// check run that writes "EnvDiagnoseLog.txt" for the bank's customer service,
// and opening that report.
//
// Threads: GetSystemInfo and OpenReport run on the page's thread, RunCheck on
// the GetSysInfoResult worker. Runs take turns: a second run waits for the
// first, so the report is never written by two threads at once.
#pragma once

#include "config/component_context.h"
#include "envcheck/component_checker.h"

#include <mutex>
#include <string>

class DiagnosisReporter {
public:
    DiagnosisReporter(const ComponentContext& context, ComponentChecker& checks);

    // The check items of the user's language with "statue" 0; empty when the
    // check list does not parse or has no "examine" element.
    std::wstring GetSystemInfo() const;
    // Writes the report and returns the result list ("statue" 1).
    std::wstring RunCheck();
    // Opens the report with the shell's "open" verb; always 1.
    short OpenReport() const;

    std::wstring ReportPath() const { return logFolder_ + L"EnvDiagnoseLog.txt"; }

private:
    std::wstring RunCheckAlone();
    std::wstring CheckListText() const;

    const ConfigurationTexts& texts_;
    const std::function<std::wstring()> language_;
    const std::wstring logFolder_;
    ComponentChecker& checks_;
    std::mutex runLock_;
};
