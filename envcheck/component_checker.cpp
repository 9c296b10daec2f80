#include "envcheck/component_checker.h"

#include "config/xml_node.h"

namespace {

// The entry's attributes, or the step that ended the look before it.
std::optional<CheckStep> FindEntry(const XmlNode* catalogue, ComponentKind kind, int id,
                                   ComponentEntry& entry) {
    if (!catalogue)
        return CheckStep::ListUnreadable;
    const XmlNode* section = catalogue->FindChild(SectionName(kind));
    if (!section)
        return CheckStep::SectionMissing;
    for (const auto& item : section->Children()) {
        if (item->GetIntAttribute(L"id", 0) == id) { // the first of equal ids counts
            entry = ReadComponentEntry(*item);
            return std::nullopt;
        }
    }
    return CheckStep::EntryMissing;
}

std::vector<ComponentEntry> SectionEntries(const XmlNode* catalogue, ComponentKind kind) {
    std::vector<ComponentEntry> entries;
    const XmlNode* section = catalogue ? catalogue->FindChild(SectionName(kind)) : nullptr;
    for (size_t i = 0; section && i < section->ChildCount(); ++i)
        entries.push_back(ReadComponentEntry(*section->Child(i)));
    return entries;
}

} // namespace

ComponentChecker::ComponentChecker(const ComponentContext& context, CatalogueSource catalogue)
    : trace_(context.Trace()), clientFolder_(context.clientFolder),
      catalogue_(std::move(catalogue)) {}

short ComponentChecker::CheckApplicationStatus(int id) {
    return CheckStatus(catalogue_().get(), ComponentKind::Application, id);
}

short ComponentChecker::CheckControlStatus(int id) {
    return CheckStatus(catalogue_().get(), ComponentKind::Control, id);
}

short ComponentChecker::CheckApplicationStatus(const XmlNode* catalogue, int id) {
    return CheckStatus(catalogue, ComponentKind::Application, id);
}

short ComponentChecker::CheckControlStatus(const XmlNode* catalogue, int id) {
    return CheckStatus(catalogue, ComponentKind::Control, id);
}

short ComponentChecker::CheckStatus(const XmlNode* catalogue, ComponentKind kind, int id) {
    ComponentEntry entry;
    entry.id = id;
    ComponentFinding finding;
    if (std::optional<CheckStep> ended = FindEntry(catalogue, kind, id, entry)) {
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

std::wstring ComponentChecker::ReportSection(ComponentKind kind) {
    // The snapshot is held while the report is made; the PC is looked at without a lock.
    const CatalogueSnapshot catalogue = catalogue_();
    std::wstring text;
    for (const ComponentEntry& entry : SectionEntries(catalogue.get(), kind))
        text += ReportEntryOf(InspectComponent(kind, entry, clientFolder_, libraries_));
    return text;
}
