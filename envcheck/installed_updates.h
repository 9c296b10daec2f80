// The installed Windows updates, asked of the Windows Update Agent offline.
#pragma once

#include "envcheck/patch_check.h"

#include <vector>

class TraceSink;

// Every update the agent reports installed ("IsInstalled = 1", offline
// search), in its order. Any failure is traced with its code and gives the
// records read so far (none when the search itself failed).
std::vector<InstalledUpdate> QueryInstalledUpdates(const TraceSink& trace);
