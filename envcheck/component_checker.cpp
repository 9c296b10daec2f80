#include "envcheck/component_checker.h"

#include "config/xml_node.h"

ComponentChecker::ComponentChecker(const ComponentContext& context)
    : trace_(context.Trace()), texts_(*context.texts), language_(context.language),
      clientFolder_(context.clientFolder) {}

short ComponentChecker::CheckApplicationStatus(int id) {
    return CheckStatus(ComponentKind::Application, id);
}

short ComponentChecker::CheckControlStatus(int id) {
    return CheckStatus(ComponentKind::Control, id);
}

bool ComponentChecker::EnsureList() {
    // The language is read only for the first parse: the list stays that language's.
    return list_.EnsureParsed([this] { return texts_.LanguageText(language_()); });
}

std::optional<CheckStep> ComponentChecker::FindEntry(ComponentKind kind, int id,
                                                     ComponentEntry& entry) {
    if (!EnsureList())
        return CheckStep::ListUnreadable;
    return list_.Read([&](const XmlNode* root) -> std::optional<CheckStep> {
        const XmlNode* section = root ? root->FindChild(SectionName(kind)) : nullptr;
        if (!section)
            return CheckStep::SectionMissing;
        for (const auto& item : section->Children()) {
            if (item->GetIntAttribute(L"id", 0) == id) { // the first of equal ids counts
                entry = ReadComponentEntry(*item);
                return std::nullopt;
            }
        }
        return CheckStep::EntryMissing;
    });
}

short ComponentChecker::CheckStatus(ComponentKind kind, int id) {
    ComponentEntry entry;
    entry.id = id;
    ComponentFinding finding;
    if (std::optional<CheckStep> ended = FindEntry(kind, id, entry)) {
        finding.kind = kind;
        finding.entry = entry;
        finding.steps.push_back(*ended);
    } else {
        finding = InspectComponent(kind, entry, clientFolder_, libraries_);
    }
    CheckVerdict verdict = VerdictOf(finding);
    for (const std::wstring& line : verdict.traceLines)
        trace_.Write(line);
    return verdict.status;
}

std::vector<ComponentEntry> ComponentChecker::SectionEntries(ComponentKind kind) {
    if (!EnsureList())
        return {};
    return list_.Read([&](const XmlNode* root) {
        std::vector<ComponentEntry> entries;
        const XmlNode* section = root ? root->FindChild(SectionName(kind)) : nullptr;
        for (size_t i = 0; section && i < section->ChildCount(); ++i)
            entries.push_back(ReadComponentEntry(*section->Child(i)));
        return entries;
    });
}

std::wstring ComponentChecker::ReportSection(ComponentKind kind) {
    std::wstring text;
    for (const ComponentEntry& entry : SectionEntries(kind))
        text += ReportEntryOf(InspectComponent(kind, entry, clientFolder_, libraries_));
    return text;
}
