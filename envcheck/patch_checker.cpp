#include "envcheck/patch_checker.h"

#include "common/com_types.h"
#include "config/xml_node.h"
#include "envcheck/ie_version.h"
#include "envcheck/installed_updates.h"

PatchChecker::PatchChecker(const ComponentContext& context)
    : trace_(context.Trace()), texts_(*context.texts), language_(context.language) {}

std::wstring PatchChecker::Check(int mode, int ieServicePack) {
    if (mode == 0)
        return Run(false, ieServicePack);
    if (mode != 1)
        return {};
    std::lock_guard turn(agentRunLock_);
    ComApartment apartment(COINIT_MULTITHREADED);
    return Run(true, ieServicePack);
}

PatchEnvironment PatchChecker::Environment(int ieServicePack) const {
    PatchEnvironment env;
    QueryOsVersion(env.os); // a failed query leaves empty texts: no release code then
    env.ieMajor = GetIeMajorVersion();
    env.ieServicePack = ieServicePack;
    env.language = language_();
    return env;
}

std::wstring PatchChecker::Run(bool askUpdateAgent, int ieServicePack) const {
    XmlNode list;
    if (!list.LoadXml(texts_.Get(ConfigText::Patch)))
        return {};
    PatchEnvironment env = Environment(ieServicePack);
    std::vector<InstalledUpdate> installed;
    if (askUpdateAgent)
        installed = QueryInstalledUpdates(trace_);
    return MissingPatchesText(list, env, installed);
}
