// The component checks of the bank's controls (ids 1000-1999) and client
// applications (4000-4999): is it installed, current and usable on this PC?
// The answer is a status number for the page and the download workers, or
// the same decisions as text for the diagnosis report.
//
// Threads: the page's thread (status methods) and download and report
// workers call it at once; the parsed Utility list and the kept libraries
// have their own locks, and the look at the PC runs outside them.
#pragma once

#include "config/component_context.h"
#include "config/shared_document.h"
#include "envcheck/component_check.h"

#include <functional>
#include <optional>
#include <string>

namespace ComponentStatus {
constexpr short kUnknown = 0;  // no entry, no list, or the availability test is unusable
constexpr short kOutdated = 1; // version missing or lower than offered
constexpr short kCurrent = 3;  // installed, current and (when configured) available
constexpr short kNotInstalled = 4;
constexpr short kBroken = 5; // registered file gone, or the availability test said no
} // namespace ComponentStatus

class ComponentChecker {
public:
    explicit ComponentChecker(const ComponentContext& context);
    ComponentChecker(const ComponentChecker&) = delete;
    ComponentChecker& operator=(const ComponentChecker&) = delete;

    short CheckApplicationStatus(int id);
    short CheckControlStatus(int id);

    // The report section of every entry of the kind, in document order; empty
    // when the list does not parse or has no such section.
    std::wstring ReportSection(ComponentKind kind);

private:
    short CheckStatus(ComponentKind kind, int id);
    // The entry's attributes, or the step that ended the look before it.
    std::optional<CheckStep> FindEntry(ComponentKind kind, int id, ComponentEntry& entry);
    std::vector<ComponentEntry> SectionEntries(ComponentKind kind);
    bool EnsureList();

    const TraceSink& trace_;
    const ConfigurationTexts& texts_;
    const std::function<std::wstring()> language_;
    const std::wstring clientFolder_;
    // Parsed on the first check and kept for the process: a Utility text
    // decrypted later is not seen, so every check of a process judges alike.
    SharedDocument list_;
    AvailabilityLibraries libraries_;
};
