// The patch check behind GetPatchFile: mode 0 lists every applicable patch
// at once, mode 1 (on the page's worker) first asks the Windows Update Agent
// what is installed. Mode 2 is the page object's stored result, not ours.
//
// Threads: mode 0 on the page's thread, mode 1 on workers. Mode-1 runs take
// turns, so two workers never query the agent or overwrite a result at once.
#pragma once

#include "config/component_context.h"
#include "envcheck/patch_check.h"

#include <functional>
#include <mutex>
#include <string>

class PatchChecker {
public:
    explicit PatchChecker(const ComponentContext& context);

    // The result text ("" when the patch list does not parse); "" for modes
    // other than 0 and 1.
    std::wstring Check(int mode, int ieServicePack);

private:
    std::wstring Run(bool askUpdateAgent, int ieServicePack) const;
    PatchEnvironment Environment(int ieServicePack) const;

    const TraceSink& trace_;
    const ConfigurationTexts& texts_;
    const std::function<std::wstring()> language_;
    std::mutex agentRunLock_;
};
