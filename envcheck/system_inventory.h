// The two inventories only the diagnosis report uses, read from the system:
// the browser helper objects registered for Internet Explorer and the
// running processes.
#pragma once

#include "envcheck/diagnosis_report.h"

#include <vector>

// Subkeys of HKLM\...\Explorer\Browser Helper Objects in enumeration order;
// empty when the key is absent. COM must be usable on the calling thread.
std::vector<HelperObjectRecord> CollectHelperObjects();

// One record per process of a fresh snapshot, in snapshot order.
std::vector<ProcessRecord> CollectProcesses();

// At most `limit` bytes of ANSI text, never ending in half a double-byte character.
std::string CutAnsiText(std::string text, size_t limit, unsigned codePage);
