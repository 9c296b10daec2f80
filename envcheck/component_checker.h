// The component checks of the bank's controls (ids 1000-1999) and client
// applications (4000-4999): is it installed, current and usable on this PC?
// The answer is a status number for the page and the download workers, or
// the same decisions as text for the diagnosis report.
//
// Threads: the page's thread (status methods) and download and report
// workers call it at once. The catalogue is a snapshot nobody changes and
// the kept libraries have their own lock; no lock is held while a bank
// library runs.
#pragma once

#include "config/component_context.h"
#include "config/item_ids.h"
#include "config/catalogue.h"
#include "envcheck/component_check.h"

#include <functional>
#include <optional>
#include <string>

class ComponentChecker {
public:
    ComponentChecker(const ComponentContext& context, CatalogueSource catalogue);
    ComponentChecker(const ComponentChecker&) = delete;
    ComponentChecker& operator=(const ComponentChecker&) = delete;

    // With the current catalogue (the page's questions)...
    short CheckApplicationStatus(int id);
    short CheckControlStatus(int id);
    // ...or with the snapshot an item's work holds.
    short CheckApplicationStatus(const XmlNode* catalogue, int id);
    short CheckControlStatus(const XmlNode* catalogue, int id);

    // The report section of every entry of the kind, in document order; empty
    // when the list does not parse or has no such section.
    std::wstring ReportSection(ComponentKind kind);

private:
    short CheckStatus(const XmlNode* catalogue, ComponentKind kind, int id);

    const TraceSink& trace_;
    const std::wstring clientFolder_;
    const CatalogueSource catalogue_;
    AvailabilityLibraries libraries_;
};
